#include "server/request_router.h"

namespace vexo::server {

Reply TextReply(unsigned status, const char* text) {
  Reply reply;
  reply.status = status;
  reply.body = std::make_shared<const std::string>(text);
  return reply;
}

Reply RequestRouter::Handle(const Request& request) {
  if (request.method != "GET" && request.method != "HEAD") {
    return TextReply(405, "method not allowed\n");
  }
  if (request.pathHadZeroByte) {
    return TextReply(400, "malformed path\n");
  }
  if (request.path == kQueryPath) {
    Reply reply = Answer(request);
    checkins_.Record(Checkin{request.unixTime, request.q, request.ver, request.t, request.client,
                             static_cast<int>(reply.status)});
    return reply;
  }
  if (request.path.starts_with(kDownloadPrefix)) {
    return Download(request.path.substr(kDownloadPrefix.size()));
  }
  return TextReply(404, "not found\n");
}

Reply RequestRouter::Answer(const Request& request) {
  std::optional<AnswerKind> kind = AnswerKindFromQuery(request.q);
  if (!kind) {
    return TextReply(400, "unknown query: q must be start or popup\n");
  }
  std::optional<std::string> file = content_.FindAnswerFile(*kind, request.t);
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

Reply RequestRouter::Download(std::string_view relativePath) {
  if (!IsSafeRelativePath(relativePath)) {
    return TextReply(403, "forbidden\n");
  }
  std::optional<OpenFile> file = content_.OpenDownload(relativePath);
  if (!file) {
    return TextReply(404, "not found\n");
  }
  Reply reply;
  reply.contentType = "application/octet-stream";
  reply.cacheable = true;
  reply.download.emplace(std::move(*file));
  reply.downloadName = relativePath;
  return reply;
}

}  // namespace vexo::server
