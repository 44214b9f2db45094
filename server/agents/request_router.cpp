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
    Reply reply = Answer(request);
    checkins_.Record(Checkin{request.unixTime, std::string(request.arguments.Get("q")),
                             std::string(request.arguments.Get("ver")),
                             std::string(request.arguments.Get("t")), request.client,
                             static_cast<int>(reply.status)});
    return reply;
  }
  if (request.path.starts_with(kDownloadPrefix)) {
    return Download(request, request.path.substr(kDownloadPrefix.size()));
  }
  return TextReply(404, "not found\n");
}

void RequestRouter::DownloadEnded(SentFile sent) {
  checkins_.RecordDownload(
      server::Download{sent.unixTime, std::move(sent.name), sent.bytes, sent.complete, sent.first});
}

Reply RequestRouter::Answer(const Request& request) {
  std::optional<AnswerKind> kind = AnswerKindFromQuery(request.arguments.Get("q"));
  if (!kind) {
    return TextReply(400, "unknown query: q must be start or popup\n");
  }
  std::optional<std::string> file = content_.FindAnswerFile(*kind, request.arguments.Get("t"));
  if (!file) {
    return TextReply(404, "no answer published for this query\n");
  }
  Reply reply;
  reply.body = answers_.Get(*file);
  if (!reply.body) {
    return TextReply(500, "answer cannot be read\n");
  }
  reply.contentType = "application/octet-stream";
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
