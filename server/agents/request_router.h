// The agents' listener: what the server answers to the agents' query and installer requests.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/agents/agent_metrics.h"
#include "server/agents/answer_cache.h"
#include "server/agents/content_folder.h"
#include "server/agents/rollout_gate.h"
#include "server/store/checkin_store.h"
#include "server/transport/exchange.h"

namespace vexo::server {

inline constexpr std::string_view kQueryPath = "/client/getData.php";
inline constexpr std::string_view kDownloadPrefix = "/files/";

// The agents' listener: the two queries and the installers, nothing else. A start answer's
// offer goes to the agents its rollout policy holds; the others get the answer without it.
// Installers are served whole or, for a GET with a single byte range, in part: the rest of a
// download cut short.
class RequestRouter : public RequestHandler {
 public:
  RequestRouter(const ContentFolder& content, AnswerCache& answers, RolloutGate& rollouts,
                CheckinStore& checkins, AgentMetrics& metrics)
      : content_(content),
        answers_(answers),
        rollouts_(rollouts),
        checkins_(checkins),
        metrics_(metrics) {}

  Reply Handle(const Request& request) override;

  void DownloadEnded(SentFile sent) override;

 private:
  // The answer to a query; what became of its offer goes into `checkin`.
  Reply Answer(const Request& request, Checkin& checkin);
  Reply Download(const Request& request, std::string_view relativePath);

  const ContentFolder& content_;
  AnswerCache& answers_;
  RolloutGate& rollouts_;
  CheckinStore& checkins_;
  AgentMetrics& metrics_;
};

}  // namespace vexo::server
