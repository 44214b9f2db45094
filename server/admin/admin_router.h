// The admin listener: the statistics and the metrics, for those who present the admin secret.
#pragma once

#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "server/admin/admin_access.h"
#include "server/common/rollout_policy.h"
#include "server/store/checkin_store.h"
#include "server/transport/exchange.h"

namespace vexo::server {

inline constexpr std::string_view kStatsPath = "/stats";
inline constexpr std::string_view kMetricsPath = "/metrics";

// The rollouts of the content folder at a time, as the agents' listener applies them.
using RolloutSource = std::function<std::vector<RolloutStatus>(int64_t unixTime)>;

class AdminRouter : public RequestHandler {
 public:
  // `metrics`: the registry every part of the server counts in, served at /metrics.
  AdminRouter(CheckinStore& checkins, const AdminGate& gate, prometheus::Registry& metrics,
              RolloutSource rollouts);

  // A request without the secret gets 401 whatever it asks for, so that it learns nothing, not
  // even which pages exist.
  Reply Handle(const Request& request) override;

 private:
  Reply Stats(bool html, int64_t unixTime);
  Reply Metrics(int64_t unixTime);
  // Sets the share gauge of each rollout, and drops those of rollouts gone.
  void UpdateShares(const std::vector<RolloutStatus>& rollouts);

  CheckinStore& checkins_;
  const AdminGate& gate_;
  prometheus::Registry& metrics_;
  RolloutSource rollouts_;
  prometheus::Family<prometheus::Gauge>& shares_;
  std::mutex sharesMutex_;
  std::vector<prometheus::Gauge*> shareGauges_;
};

}  // namespace vexo::server
