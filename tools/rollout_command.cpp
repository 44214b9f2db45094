#include "tools/rollout_command.h"

#include <algorithm>
#include <stdexcept>

#include "server/common/utc_day.h"

namespace vexo::tools {
namespace {

void Require(bool condition, const std::string& message) {
  if (!condition) {
    throw std::runtime_error(message);
  }
}

std::string PolicyName(const PublishedAnswer& answer) {
  return server::PolicyPathOf(answer.name);
}

std::string Status(const PublishedAnswer& answer, int64_t now) {
  std::string text = answer.name + " offers " + answer.offer.version + "\n";
  if (!answer.hasPolicyFile) {
    return text + "no rollout policy: every agent gets the offer\n";
  }
  if (!answer.policy) {
    return text + PolicyName(answer) + " is malformed (" + answer.policyError +
           "): the server holds the offer back from every agent\n";
  }
  const ReleaseRollout* rollout = answer.policy->Find(answer.offer.version);
  if (rollout == nullptr) {
    return text + PolicyName(answer) + " has no section [" + answer.offer.version +
           "]: the server holds the offer back from every agent\n";
  }
  return text + DescribeRollout(*rollout, answer.offer.forced, now);
}

// The section of the release offered, or a new one when the policy has none for it: the whole
// share where there was no policy file (as the server served it), none where the server could
// not use the file, so that resuming what it held back lets the offer out to no one until a
// share is set.
ReleaseRollout SectionToChange(const PublishedAnswer& answer, const RolloutChange& change,
                               int64_t now, bool& isNew) {
  const ReleaseRollout* existing =
      answer.policy ? answer.policy->Find(answer.offer.version) : nullptr;
  isNew = existing == nullptr;
  if (existing) {
    return *existing;
  }
  Require(change.action != RolloutAction::kResume,
          "there is no rollout of release " + answer.offer.version +
              " to resume; give it a share with set or schedule");
  std::vector<RolloutStep> steps;  // none: the whole share
  if (answer.hasPolicyFile) {
    steps = {{0, 0}};
  }
  return NewReleaseRollout(answer.offer.version, steps, now);
}

// The schedule takes up where it stopped: the time it was halted while it ran does not count
// (a schedule set while halted, or starting later, ran for none of it).
int64_t HaltedTimeOfSchedule(const ReleaseRollout& rollout, int64_t now) {
  if (rollout.haltedSince == 0) {
    return 0;
  }
  return std::max<int64_t>(0, now - std::max(rollout.haltedSince, rollout.start));
}

}  // namespace

std::string ChangeRollout(const RolloutChange& change, ContentFiles& files, int64_t now) {
  PublishedAnswer answer = PublishedAnswer::Read(change.content, change.application);
  Require(answer.text.has_value(), answer.name + " does not exist");
  Require(answer.offer.present, answer.name + " offers no update: there is nothing to roll out");
  if (change.action == RolloutAction::kStatus) {
    return Status(answer, now);
  }
  Require(answer.policy || !answer.hasPolicyFile || change.action == RolloutAction::kHalt,
          PolicyName(answer) + " is malformed (" + answer.policyError +
              "); mend it by hand, or halt the rollout, which writes it anew");
  bool isNew = false;
  ReleaseRollout rollout = SectionToChange(answer, change, now, isNew);
  std::string note;
  switch (change.action) {
    case RolloutAction::kHalt:
      if (rollout.halted && !isNew) {
        return "already halted\n" + Status(answer, now);
      }
      rollout.halted = true;
      rollout.haltedSince = now;
      break;
    case RolloutAction::kResume:
      if (!rollout.halted) {
        return "not halted\n" + Status(answer, now);
      }
      rollout.start += HaltedTimeOfSchedule(rollout, now);
      rollout.halted = false;
      rollout.haltedSince = 0;
      break;
    case RolloutAction::kSet:
    case RolloutAction::kSchedule:
      rollout = Rescheduled(rollout, change.steps, change.start.value_or(now), isNew, now);
      note = rollout.halted ? "still halted: resume the rollout to let the offer out\n" : "";
      break;
    case RolloutAction::kStatus:
      break;
  }
  RolloutPolicy policy;
  policy.releases.push_back(rollout);
  answer.WritePolicy(policy, files);
  return note + answer.name + " offers " + answer.offer.version + "\n" +
         DescribeRollout(rollout, answer.offer.forced, now);
}

}  // namespace vexo::tools
