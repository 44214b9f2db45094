// Which agents get a start answer's offer, by the rollout policy beside the answer.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "server/agents/answer_cache.h"
#include "server/agents/content_folder.h"
#include "server/agents/stamped_file_cache.h"
#include "server/agents/start_answer_offer.h"
#include "server/common/rollout_policy.h"
#include "server/transport/client_address.h"

namespace vexo::server {

enum class OfferOutcome { kNoOffer, kServed, kWithheld };

class RolloutGate {
 public:
  using Warn = std::function<void(const std::string& message)>;

  explicit RolloutGate(Warn warn);

  // Whether the agent at `client` gets the offer of `answer` at `unixTime`. Without a policy
  // file every agent does. A policy that is malformed, or has no section for the release
  // offered, is reported once and holds the offer back from every agent, as a halted rollout
  // would: never from none.
  OfferOutcome Decide(const PreparedAnswer& answer, const IpAddress& client, int64_t unixTime);

  // The rollout of that answer for the statistics, named `name`; nullopt when it has no policy.
  std::optional<RolloutStatus> StatusOf(const PreparedAnswer& answer, std::string name,
                                        int64_t unixTime);

 private:
  struct LoadedPolicy {
    std::string path;
    std::optional<RolloutPolicy> policy;
    std::string problem;  // why `policy` is missing
    // Releases found without a section, each reported once.
    mutable std::mutex reportedMutex;
    mutable std::vector<std::string> reported;
  };

  std::shared_ptr<const LoadedPolicy> PolicyOf(const PreparedAnswer& answer);
  std::shared_ptr<const LoadedPolicy> Load(const std::string& path);
  // The section in force for `release`; null, with the reason in `problem`, when there is none.
  const ReleaseRollout* SectionFor(const LoadedPolicy& loaded, const std::string& release,
                                   std::string& problem);

  Warn warn_;
  StampedFileCache<LoadedPolicy> policies_;
};

// The rollouts of every start answer of `content` that has a policy, top-level first.
std::vector<RolloutStatus> ContentRollouts(const ContentFolder& content, AnswerCache& answers,
                                           RolloutGate& gate, int64_t unixTime);

}  // namespace vexo::server
