#include "server/agents/request_router.h"

#include "server/agents/byte_ranges.h"

namespace vexo::server {

Reply RequestRouter::Handle(const Request& request) {
  if (request.method != "GET" && request.method != "HEAD") {
    return MethodNotAllowedReply();
  }
  if (request.pathHadZeroByte) {
    return TextReply(400, "malformed path\n");
  }
  if (request.path == kQueryPath) {
    Checkin checkin{request.unixTime,
                    std::string(request.arguments.Get("q")),
                    std::string(request.arguments.Get("ver")),
                    std::string(request.arguments.Get("t")),
                    request.client,
                    0};
    Reply reply = Answer(request, checkin);
    checkin.status = static_cast<int>(reply.status);
    metrics_.CountQuery(checkin.query, reply.status);
    checkins_.Record(std::move(checkin));
    return reply;
  }
  if (request.path.starts_with(kDownloadPrefix)) {
    return Download(request, request.path.substr(kDownloadPrefix.size()));
  }
  return TextReply(404, "not found\n");
}

void RequestRouter::DownloadEnded(SentFile sent) {
  metrics_.CountDownload(sent.name, sent.complete, sent.first > 0, sent.bytes);
  checkins_.RecordDownload(
      server::Download{sent.unixTime, std::move(sent.name), sent.bytes, sent.complete, sent.first});
}

Reply RequestRouter::Answer(const Request& request, Checkin& checkin) {
  std::optional<AnswerKind> kind = AnswerKindFromQuery(request.arguments.Get("q"));
  if (!kind) {
    return TextReply(400, "unknown query: q must be start or popup\n");
  }
  std::optional<struct stat> seen;
  std::optional<std::string> file =
      content_.FindAnswerFile(*kind, request.arguments.Get("t"), &seen);
  if (!file) {
    return TextReply(404, "no answer published for this query\n");
  }
  std::shared_ptr<const PreparedAnswer> answer = answers_.Get(*file, seen ? &*seen : nullptr);
  if (!answer) {
    return TextReply(500, "answer cannot be read\n");
  }
  Reply reply;
  reply.body = answer->body;
  reply.contentType = "application/octet-stream";
  OfferOutcome outcome = *kind == AnswerKind::kStart
                             ? rollouts_.Decide(*answer, request.clientAddress, request.unixTime)
                             : OfferOutcome::kNoOffer;
  if (outcome != OfferOutcome::kNoOffer) {
    checkin.offered = answer->offer.version;
    checkin.withheld = outcome == OfferOutcome::kWithheld;
    metrics_.CountOffer(
        *file, [&] { return content_.RelativeName(*file); }, checkin.offered, checkin.withheld);
  }
  if (outcome == OfferOutcome::kWithheld) {
    if (!answer->withoutOffer) {
      return TextReply(500, "answer cannot be sent without its offer\n");
    }
    reply.body = answer->withoutOffer;
  }
  return reply;
}

Reply RequestRouter::Download(const Request& request, std::string_view relativePath) {
  if (!IsSafeRelativePath(relativePath)) {
    return TextReply(403, "forbidden\n");
  }
  std::optional<OpenFile> file = content_.OpenDownload(relativePath);
  if (!file) {
    return TextReply(404, "not found\n");
  }
  const uint64_t size = file->size();
  const FileValidators validators = ValidatorsOf(size, file->modifiedNanoseconds());
  // Ranges are a GET's: HEAD answers as a GET without one would.
  RangeChoice choice;
  if (request.method == "GET") {
    choice = ChooseRange(request.range, request.ifRange, validators, size);
  }
  if (choice.kind == RangeChoice::Kind::kNotSatisfiable) {
    Reply reply = TextReply(416, "range not satisfiable\n");
    reply.headers = {{"Accept-Ranges", "bytes"},
                     {"Content-Range", "bytes */" + std::to_string(size)}};
    return reply;
  }
  Reply reply;
  reply.contentType = "application/octet-stream";
  reply.cacheable = true;
  reply.headers = {{"Accept-Ranges", "bytes"},
                   {"ETag", validators.entityTag},
                   {"Last-Modified", validators.lastModified}};
  if (choice.kind == RangeChoice::Kind::kPart) {
    reply.status = 206;
    reply.downloadFirst = choice.first;
    reply.downloadLength = choice.length;
    reply.headers.push_back({"Content-Range", "bytes " + std::to_string(choice.first) + "-" +
                                                  std::to_string(choice.first + choice.length - 1) +
                                                  "/" + std::to_string(size)});
  }
  reply.download.emplace(std::move(*file));
  reply.downloadName = relativePath;
  return reply;
}

}  // namespace vexo::server
