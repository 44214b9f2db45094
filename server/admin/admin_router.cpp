#include "server/admin/admin_router.h"

#include "server/admin/stats_report.h"

namespace vexo::server {
namespace {

constexpr size_t kStatsRowsPerList = 100;
constexpr size_t kStatsRecentCheckins = 50;

// 401, offering both ways of presenting the secret.
Reply AuthenticationRequired() {
  Reply reply = TextReply(401, "authentication required\n");
  reply.headers.push_back(
      {"WWW-Authenticate", "Basic realm=\"vexo-server admin\", charset=\"UTF-8\""});
  reply.headers.push_back({"WWW-Authenticate", "Bearer realm=\"vexo-server admin\""});
  return reply;
}

}  // namespace

Reply AdminRouter::Handle(const Request& request) {
  if (!gate_.Admits(request.credential)) {
    return AuthenticationRequired();
  }
  if (request.method != "GET" && request.method != "HEAD") {
    return MethodNotAllowedReply();
  }
  if (request.pathHadZeroByte) {
    return TextReply(400, "malformed path\n");
  }
  if (request.path == kStatsPath) {
    return Stats(false);
  }
  if (request.path == "/stats.html") {
    return Stats(true);
  }
  return TextReply(404, "not found\n");
}

Reply AdminRouter::Stats(bool html) {
  CheckinSummary summary = checkins_.Summarize(kStatsRowsPerList, kStatsRecentCheckins);
  Reply reply;
  reply.contentType = html ? "text/html; charset=utf-8" : "application/json";
  reply.body = std::make_shared<const std::string>(html ? RenderStatsHtml(summary)
                                                        : RenderStatsJson(summary));
  return reply;
}

}  // namespace vexo::server
