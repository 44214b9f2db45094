#include "server/agents/agent_metrics.h"

#include <mutex>

namespace vexo::server {
namespace {

size_t QueryIndex(std::string_view query) {
  return query == "start" ? 0 : query == "popup" ? 1 : 2;
}

}  // namespace

AgentMetrics::AgentMetrics(prometheus::Registry& registry)
    : queries_(prometheus::BuildCounter()
                   .Name("vexo_queries_total")
                   .Help("Agents' queries answered, by query (start, popup or other) and HTTP "
                         "status.")
                   .Register(registry)),
      offers_(prometheus::BuildCounter()
                  .Name("vexo_rollout_offers_total")
                  .Help("Start answers whose file offers an update, by answer file, release "
                        "and whether the rollout served the offer or withheld it.")
                  .Register(registry)),
      downloads_(prometheus::BuildCounter()
                     .Name("vexo_downloads_total")
                     .Help("Installer transfers under /files/, by file and outcome: complete, or "
                           "cut short; the same for resumed transfers, which sent the rest of a "
                           "download cut short before.")
                     .Register(registry)),
      downloadBytes_(prometheus::BuildCounter()
                         .Name("vexo_download_sent_bytes_total")
                         .Help("Bytes of installers sent, by file and outcome of the transfer.")
                         .Register(registry)) {
  for (size_t query = 0; query < kQueries.size(); ++query) {
    for (size_t status = 0; status < kUsualStatuses.size(); ++status) {
      usual_[query][status] = &queries_.Add({{"query", std::string(kQueries[query])},
                                             {"status", std::to_string(kUsualStatuses[status])}});
    }
  }
}

void AgentMetrics::CountQuery(std::string_view query, unsigned status) {
  size_t row = QueryIndex(query);
  for (size_t column = 0; column < kUsualStatuses.size(); ++column) {
    if (kUsualStatuses[column] == status) {
      usual_[row][column]->Increment();
      return;
    }
  }
  queries_.Add({{"query", std::string(kQueries[row])}, {"status", std::to_string(status)}})
      .Increment();
}

void AgentMetrics::CountOffer(const std::string& answer, const std::string& release,
                              bool withheld) {
  std::string key = answer + '\n' + release;
  OfferCounters counters{};
  {
    std::shared_lock lock(offersMutex_);
    auto found = offerCounters_.find(key);
    if (found != offerCounters_.end()) {
      counters = found->second;
    }
  }
  if (counters.served == nullptr) {
    std::unique_lock lock(offersMutex_);
    counters = {&offers_.Add({{"answer", answer}, {"release", release}, {"outcome", "served"}}),
                &offers_.Add({{"answer", answer}, {"release", release}, {"outcome", "withheld"}})};
    offerCounters_.emplace(key, counters);
  }
  (withheld ? counters.withheld : counters.served)->Increment();
}

void AgentMetrics::CountDownload(const std::string& file, bool complete, bool resumed,
                                 uint64_t bytes) {
  std::string outcome = complete ? "complete" : "cut_short";
  prometheus::Labels labels{{"file", file}, {"outcome", resumed ? "resumed_" + outcome : outcome}};
  downloads_.Add(labels).Increment();
  downloadBytes_.Add(labels).Increment(static_cast<double>(bytes));
}

}  // namespace vexo::server
