#include "server/agents/rollout_gate.h"

#include <algorithm>

#include "server/agents/cohort.h"
#include "server/common/small_file.h"

namespace vexo::server {

RolloutGate::RolloutGate(Warn warn) : warn_(std::move(warn)) {
  if (!warn_) {
    warn_ = [](const std::string&) {};
  }
}

OfferOutcome RolloutGate::Decide(const PreparedAnswer& answer, const IpAddress& client,
                                 int64_t unixTime) {
  const OfferInAnswer& offer = answer.offer;
  if (!offer.present) {
    return OfferOutcome::kNoOffer;
  }
  std::shared_ptr<const LoadedPolicy> loaded = PolicyOf(answer);
  if (!loaded) {
    return OfferOutcome::kServed;
  }
  std::string problem;
  const ReleaseRollout* rollout = SectionFor(*loaded, offer.version, problem);
  if (rollout == nullptr) {
    return OfferOutcome::kWithheld;
  }
  return InShare(rollout->salt, client, rollout->ShareAt(unixTime, offer.forced))
             ? OfferOutcome::kServed
             : OfferOutcome::kWithheld;
}

std::optional<RolloutStatus> RolloutGate::StatusOf(const PreparedAnswer& answer, std::string name,
                                                   int64_t unixTime) {
  const OfferInAnswer& offer = answer.offer;
  std::shared_ptr<const LoadedPolicy> loaded = PolicyOf(answer);
  if (!loaded || !offer.present) {
    return std::nullopt;
  }
  RolloutStatus status{std::move(name), offer.version, offer.forced, std::nullopt, {}, unixTime, 0};
  if (const ReleaseRollout* rollout = SectionFor(*loaded, offer.version, status.problem)) {
    status.rollout = *rollout;
    status.shareNow = rollout->ShareAt(unixTime, offer.forced);
  }
  return status;
}

std::shared_ptr<const RolloutGate::LoadedPolicy> RolloutGate::PolicyOf(
    const PreparedAnswer& answer) {
  return policies_.Get(answer.policyPath,
                       [this](const std::string& path, size_t) { return Load(path); });
}

std::shared_ptr<const RolloutGate::LoadedPolicy> RolloutGate::Load(const std::string& path) {
  auto loaded = std::make_shared<LoadedPolicy>();
  loaded->path = path;
  std::string error;
  if (std::optional<std::string> text = ReadSmallFile(path, kMaxPolicyFileBytes, error)) {
    loaded->policy = ParseRolloutPolicy(*text, error);
  }
  if (!loaded->policy) {
    loaded->problem = "rollout policy " + path + " is malformed (" + error +
                      "): served as halted, its offer goes to no agent until it is mended";
    warn_(loaded->problem);
  }
  return loaded;
}

const ReleaseRollout* RolloutGate::SectionFor(const LoadedPolicy& loaded,
                                              const std::string& release, std::string& problem) {
  if (!loaded.policy) {
    problem = loaded.problem;
    return nullptr;
  }
  if (const ReleaseRollout* rollout = loaded.policy->Find(release)) {
    return rollout;
  }
  problem = "rollout policy " + loaded.path + " has no section [" + release +
            "] for the release its answer offers: served as halted, the offer goes to no agent";
  std::lock_guard lock(loaded.reportedMutex);
  if (std::find(loaded.reported.begin(), loaded.reported.end(), release) == loaded.reported.end()) {
    loaded.reported.push_back(release);
    warn_(problem);
  }
  return nullptr;
}

std::vector<RolloutStatus> ContentRollouts(const ContentFolder& content, AnswerCache& answers,
                                           RolloutGate& gate, int64_t unixTime) {
  std::vector<RolloutStatus> rollouts;
  for (const std::string& path : content.StartAnswers()) {
    std::shared_ptr<const PreparedAnswer> answer = answers.Get(path);
    std::optional<RolloutStatus> status =
        answer ? gate.StatusOf(*answer, content.RelativeName(path), unixTime) : std::nullopt;
    if (status) {
      rollouts.push_back(std::move(*status));
    }
  }
  return rollouts;
}

}  // namespace vexo::server
