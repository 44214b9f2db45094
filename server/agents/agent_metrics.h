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
  // A start answer, the file at `answerPath` (`answerName` below the content folder), that
  // carried an offer of `release`: served, or held back by the rollout.
  template <typename AnswerName>
  void CountOffer(const std::string& answerPath, AnswerName&& answerName,
                  const std::string& release, bool withheld) {
    OfferCounters counters = CachedOfferCounters(answerPath, release);
    if (counters.served == nullptr) {
      counters = NewOfferCounters(answerPath, answerName(), release);
    }
    (withheld ? counters.withheld : counters.served)->Increment();
  }
  // A transfer under /files/; `resumed` when it continued a download cut short before.
  void CountDownload(const std::string& file, bool complete, bool resumed, uint64_t bytes);

 private:
  struct OfferCounters {
    std::string release;
    prometheus::Counter* served = nullptr;
    prometheus::Counter* withheld = nullptr;
  };
  OfferCounters CachedOfferCounters(const std::string& answerPath, const std::string& release);
  OfferCounters NewOfferCounters(const std::string& answerPath, const std::string& answerName,
                                 const std::string& release);
  static constexpr std::array<std::string_view, 3> kQueries = {"start", "popup", "other"};
  static constexpr std::array<unsigned, 4> kUsualStatuses = {200, 400, 404, 500};

  prometheus::Family<prometheus::Counter>& queries_;
  prometheus::Family<prometheus::Counter>& offers_;
  prometheus::Family<prometheus::Counter>& downloads_;
  prometheus::Family<prometheus::Counter>& downloadBytes_;
  // Every query is counted: its counter is looked up without a lock.
  std::array<std::array<prometheus::Counter*, kUsualStatuses.size()>, kQueries.size()> usual_{};
  std::shared_mutex offersMutex_;
  // Those of the release each answer file offered last, by the file's path: found without
  // building a text on every query.
  std::unordered_map<std::string, OfferCounters> offerCounters_;
};

}  // namespace vexo::server
