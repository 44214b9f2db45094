#include "tools/published_answer.h"

#include <cerrno>
#include <random>
#include <stdexcept>

#include "agent/answer_rules.h"
#include "agent/answer_text.h"
#include "server/common/small_file.h"
#include "server/common/utc_day.h"

namespace vexo::tools {
namespace {

// Start answers are read whole; the server refuses larger ones.
constexpr size_t kLongestAnswer = 1 << 20;

std::optional<std::string> ReadIfPresent(const std::string& path, size_t limit) {
  std::string fault;
  std::optional<std::string> text = server::ReadSmallFile(path, limit, fault);
  if (!text && errno == ENOENT) {
    return std::nullopt;
  }
  if (!text) {
    throw std::runtime_error("cannot read '" + path + "': " + fault);
  }
  return text;
}

// The share now, halted or not: a new schedule must not take agents out of the share.
int UnhaltedShare(ReleaseRollout rollout, int64_t now) {
  rollout.halted = false;
  return rollout.ShareAt(now, false);
}

}  // namespace

PublishedAnswer PublishedAnswer::Read(const std::string& content, const std::string& application) {
  if (!application.empty() && !IsPlainFileName(WidenAnsi(application))) {
    throw std::runtime_error("--app '" + application + "' is not a plain folder name");
  }
  PublishedAnswer answer;
  std::string relative = application.empty() ? "" : "apps/" + application + "/";
  answer.folder = content + (application.empty() ? "" : "/apps/" + application);
  answer.name = relative + "start.xml";
  answer.answerPath = content + "/" + answer.name;
  answer.policyPath = server::PolicyPathOf(answer.answerPath);
  answer.text = ReadIfPresent(answer.answerPath, kLongestAnswer);
  if (answer.text) {
    answer.offer = server::ReadOffer(*answer.text);
  }
  std::optional<std::string> policy = ReadIfPresent(answer.policyPath, server::kMaxPolicyFileBytes);
  answer.hasPolicyFile = policy.has_value();
  if (policy) {
    answer.policy = server::ParseRolloutPolicy(*policy, answer.policyError);
  }
  return answer;
}

void PublishedAnswer::WritePolicy(const RolloutPolicy& newPolicy, ContentFiles& files) const {
  ReplaceFile(files, folder, policyPath, server::FormatRolloutPolicy(newPolicy));
}

RolloutSalt NewRolloutSalt() {
  std::random_device source;
  RolloutSalt salt;
  for (uint8_t& byte : salt) {
    byte = static_cast<uint8_t>(source());
  }
  return salt;
}

ReleaseRollout NewReleaseRollout(std::string release, std::vector<RolloutStep> steps, int64_t now) {
  ReleaseRollout rollout;
  rollout.release = std::move(release);
  rollout.salt = NewRolloutSalt();
  rollout.start = now;
  rollout.steps = steps.empty() ? std::vector<RolloutStep>{{0, server::kWholeShare}} : steps;
  return rollout;
}

ReleaseRollout Rescheduled(const ReleaseRollout& rollout, std::vector<RolloutStep> steps,
                           int64_t start, bool isNew, int64_t now) {
  ReleaseRollout changed = rollout;
  changed.steps = std::move(steps);
  changed.start = start;
  int before = UnhaltedShare(rollout, now);
  int after = UnhaltedShare(changed, now);
  if (!isNew && after < before) {
    throw std::runtime_error("shares only grow: release " + rollout.release + " is at " +
                             server::FormatShare(before) + " now and this would make it " +
                             server::FormatShare(after) + "; halt the rollout to stop the offer");
  }
  return changed;
}

std::string DescribeRollout(const ReleaseRollout& rollout, bool forcedOffer, int64_t now) {
  std::string text = "release " + rollout.release + ": ";
  if (rollout.halted) {
    text += "HALTED" +
            (rollout.haltedSince ? " since " + server::FormatUtcTime(rollout.haltedSince) : "") +
            ", the offer goes to no agent\n";
  } else {
    text += server::FormatShare(rollout.ShareAt(now, forcedOffer)) + " of agents now\n";
  }
  if (forcedOffer && rollout.forcedImmediate) {
    text += "forced offer: skips the schedule (every agent unless halted)\n";
  }
  text += "schedule: " + server::FormatSchedule(rollout.steps) + "\n";
  for (const RolloutStep& step : rollout.steps) {
    text += "  from " + server::FormatUtcTime(rollout.start + step.offsetSeconds) + "  " +
            server::FormatShare(step.share) + "\n";
  }
  return text;
}

}  // namespace vexo::tools
