#include "server/admin/admin_router.h"

#include <prometheus/text_serializer.h>

#include <algorithm>

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

AdminRouter::AdminRouter(CheckinStore& checkins, const AdminGate& gate,
                         prometheus::Registry& metrics, RolloutSource rollouts)
    : checkins_(checkins),
      gate_(gate),
      metrics_(metrics),
      rollouts_(std::move(rollouts)),
      shares_(prometheus::BuildGauge()
                  .Name("vexo_rollout_share_ratio")
                  .Help("Share of agents a rollout offers its release to now, from 0 to 1 "
                        "(0 while halted or when its policy cannot be used), by answer file and "
                        "release.")
                  .Register(metrics)) {}

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
    return Stats(false, request.unixTime);
  }
  if (request.path == "/stats.html") {
    return Stats(true, request.unixTime);
  }
  if (request.path == kMetricsPath) {
    return Metrics(request.unixTime);
  }
  return TextReply(404, "not found\n");
}

Reply AdminRouter::Stats(bool html, int64_t unixTime) {
  CheckinSummary summary = checkins_.Summarize(kStatsRowsPerList, kStatsRecentCheckins);
  std::vector<RolloutStatus> rollouts = rollouts_(unixTime);
  Reply reply;
  reply.contentType = html ? "text/html; charset=utf-8" : "application/json";
  reply.body = std::make_shared<const std::string>(html ? RenderStatsHtml(summary, rollouts)
                                                        : RenderStatsJson(summary, rollouts));
  return reply;
}

Reply AdminRouter::Metrics(int64_t unixTime) {
  UpdateShares(rollouts_(unixTime));
  Reply reply;
  reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
  reply.body = std::make_shared<const std::string>(
      prometheus::TextSerializer().Serialize(metrics_.Collect()));
  return reply;
}

void AdminRouter::UpdateShares(const std::vector<RolloutStatus>& rollouts) {
  std::lock_guard lock(sharesMutex_);
  std::vector<prometheus::Gauge*> current;
  for (const RolloutStatus& rollout : rollouts) {
    prometheus::Gauge& gauge =
        shares_.Add({{"answer", rollout.answer}, {"release", rollout.release}});
    gauge.Set(static_cast<double>(rollout.shareNow) / kWholeShare);
    current.push_back(&gauge);
  }
  for (prometheus::Gauge* gauge : shareGauges_) {
    if (std::find(current.begin(), current.end(), gauge) == current.end()) {
      shares_.Remove(gauge);
    }
  }
  shareGauges_ = std::move(current);
}

}  // namespace vexo::server
