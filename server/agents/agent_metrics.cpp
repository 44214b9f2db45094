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

AgentMetrics::OfferCounters AgentMetrics::CachedOfferCounters(const std::string& answerPath,
                                                              const std::string& release) {
  std::shared_lock lock(offersMutex_);
  auto found = offerCounters_.find(answerPath);
  return found != offerCounters_.end() && found->second.release == release ? found->second
                                                                           : OfferCounters{};
}

AgentMetrics::OfferCounters AgentMetrics::NewOfferCounters(const std::string& answerPath,
                                                           const std::string& answerName,
                                                           const std::string& release) {
  prometheus::Labels labels{{"answer", answerName}, {"release", release}};
  labels["outcome"] = "served";
  prometheus::Counter& served = offers_.Add(labels);
  labels["outcome"] = "withheld";
  OfferCounters counters{release, &served, &offers_.Add(labels)};
  std::unique_lock lock(offersMutex_);
  offerCounters_[answerPath] = counters;
  return counters;
}

void AgentMetrics::CountDownload(const std::string& file, bool complete, bool resumed,
                                 uint64_t bytes) {
  std::string outcome = complete ? "complete" : "cut_short";
  prometheus::Labels labels{{"file", file}, {"outcome", resumed ? "resumed_" + outcome : outcome}};
  downloads_.Add(labels).Increment();
  downloadBytes_.Add(labels).Increment(static_cast<double>(bytes));
}

}  // namespace vexo::server
