// What the agents' listener counts for Prometheus: queries by query and status, offers a rollout
// let out or held back, installer transfers and their bytes by file and outcome. No label holds
// a client's address or any other text a client chose: a query is start, popup or other, and
// files and releases are those the content folder holds.
#pragma once

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/registry.h>

#include <array>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vexo::server {

class AgentMetrics {
 public:
  explicit AgentMetrics(prometheus::Registry& registry);

  void CountQuery(std::string_view query, unsigned status);
  // A start answer that carried an offer of `release`: served, or held back by the rollout.
  void CountOffer(const std::string& answer, const std::string& release, bool withheld);
  // A transfer under /files/; `resumed` when it continued a download cut short before.
  void CountDownload(const std::string& file, bool complete, bool resumed, uint64_t bytes);

 private:
  struct OfferCounters {
    prometheus::Counter* served;
    prometheus::Counter* withheld;
  };
  static constexpr std::array<std::string_view, 3> kQueries = {"start", "popup", "other"};
  static constexpr std::array<unsigned, 4> kUsualStatuses = {200, 400, 404, 500};

  prometheus::Family<prometheus::Counter>& queries_;
  prometheus::Family<prometheus::Counter>& offers_;
  prometheus::Family<prometheus::Counter>& downloads_;
  prometheus::Family<prometheus::Counter>& downloadBytes_;
  // Every query is counted: its counter is looked up without a lock.
  std::array<std::array<prometheus::Counter*, kUsualStatuses.size()>, kQueries.size()> usual_{};
  std::shared_mutex offersMutex_;
  std::unordered_map<std::string, OfferCounters> offerCounters_;  // by answer and release
};

}  // namespace vexo::server
