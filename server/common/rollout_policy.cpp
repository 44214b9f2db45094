#include "server/common/rollout_policy.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "server/common/utc_day.h"

namespace vexo::server {
namespace {

constexpr int64_t kLongestOffsetSeconds = 3650 * kSecondsPerDay;
constexpr size_t kMostSteps = 100;

struct OffsetUnit {
  char letter;
  int64_t seconds;
};
// Largest first: offsets are written in the largest unit that divides them.
constexpr OffsetUnit kOffsetUnits[] = {{'d', kSecondsPerDay}, {'h', 3600}, {'m', 60}};

std::string_view Trimmed(std::string_view text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::optional<int64_t> ParseNumber(std::string_view text) {
  int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0) {
    return std::nullopt;
  }
  return value;
}

std::optional<int64_t> ParseOffset(std::string_view text) {
  if (text.empty()) {
    return std::nullopt;
  }
  for (const OffsetUnit& unit : kOffsetUnits) {
    if (text.back() == unit.letter) {
      std::optional<int64_t> count = ParseNumber(text.substr(0, text.size() - 1));
      if (!count || *count > kLongestOffsetSeconds / unit.seconds) {
        return std::nullopt;
      }
      return *count * unit.seconds;
    }
  }
  return std::nullopt;
}

std::string FormatOffset(int64_t seconds) {
  for (const OffsetUnit& unit : kOffsetUnits) {
    if (seconds % unit.seconds == 0) {
      return std::to_string(seconds / unit.seconds) + unit.letter;
    }
  }
  return std::to_string(seconds / 60) + "m";
}

std::optional<RolloutSalt> ParseSalt(std::string_view text) {
  RolloutSalt salt{};
  if (text.size() != 2 * salt.size()) {
    return std::nullopt;
  }
  for (size_t i = 0; i < salt.size(); ++i) {
    auto [end, error] = std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, salt[i], 16);
    if (error != std::errc() || end != text.data() + 2 * i + 2) {
      return std::nullopt;
    }
  }
  return salt;
}

std::string FormatSalt(const RolloutSalt& salt) {
  std::string text;
  for (uint8_t byte : salt) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    text += digits;
  }
  return text;
}

// One section as it is read, with the settings it has had.
struct SectionReader {
  ReleaseRollout rollout;
  std::vector<std::string> seen;

  bool Has(std::string_view key) const {
    return std::find(seen.begin(), seen.end(), key) != seen.end();
  }

  // Applies `key = value`; the fault when either is not acceptable.
  std::optional<std::string> Apply(std::string_view key, std::string_view value) {
    if (Has(key)) {
      return std::string(key) + " is given twice";
    }
    seen.emplace_back(key);
    if (key == "salt") {
      std::optional<RolloutSalt> salt = ParseSalt(value);
      if (!salt) {
        return "salt must be 32 hex digits";
      }
      rollout.salt = *salt;
    } else if (key == "start") {
      std::optional<int64_t> start = ParseUtcTime(value);
      if (!start) {
        return "start must be a time such as 2024-12-08T18:00:00Z";
      }
      rollout.start = *start;
    } else if (key == "schedule") {
      std::string error;
      std::optional<std::vector<RolloutStep>> steps = ParseSchedule(value, error);
      if (!steps) {
        return error;
      }
      rollout.steps = std::move(*steps);
    } else if (key == "halted") {
      return ApplyHalted(value);
    } else if (key == "forced") {
      if (value != "immediate" && value != "ramp") {
        return "forced must be immediate or ramp";
      }
      rollout.forcedImmediate = value == "immediate";
    } else {
      return "unknown setting '" + std::string(key) + "'";
    }
    return std::nullopt;
  }

  std::optional<std::string> ApplyHalted(std::string_view value) {
    if (value == "no") {
      return std::nullopt;
    }
    rollout.halted = true;
    if (value == "yes") {
      return std::nullopt;
    }
    std::optional<int64_t> since = ParseUtcTime(value);
    if (!since) {
      return "halted must be no, yes or the time it was halted";
    }
    rollout.haltedSince = *since;
    return std::nullopt;
  }

  // What the finished section still lacks.
  std::optional<std::string> Missing() const {
    std::string name = "[" + rollout.release + "]";
    if (!Has("salt")) {
      return name + " has no salt";
    }
    if (!Has("schedule")) {
      return name + " has no schedule";
    }
    bool ramps = std::any_of(rollout.steps.begin(), rollout.steps.end(),
                             [](const RolloutStep& step) { return step.offsetSeconds > 0; });
    if (ramps && !Has("start")) {
      return name + " has a schedule over time but no start";
    }
    return std::nullopt;
  }
};

}  // namespace

int ReleaseRollout::ShareAt(int64_t unixTime, bool forcedOffer) const {
  if (halted) {
    return 0;
  }
  if (forcedOffer && forcedImmediate) {
    return kWholeShare;
  }
  int share = 0;
  for (const RolloutStep& step : steps) {
    if (unixTime - start >= step.offsetSeconds) {
      share = step.share;
    }
  }
  return share;
}

const ReleaseRollout* RolloutPolicy::Find(std::string_view release) const {
  for (const ReleaseRollout& rollout : releases) {
    if (rollout.release == release) {
      return &rollout;
    }
  }
  return nullptr;
}

std::optional<RolloutPolicy> ParseRolloutPolicy(std::string_view text, std::string& error) {
  if (text.starts_with("\xEF\xBB\xBF")) {
    text.remove_prefix(3);  // the byte order mark some editors put before UTF-8
  }
  RolloutPolicy policy;
  std::optional<SectionReader> section;
  auto finish = [&]() -> std::optional<std::string> {
    if (section) {
      if (std::optional<std::string> missing = section->Missing()) {
        return missing;
      }
      policy.releases.push_back(std::move(section->rollout));
    }
    return std::nullopt;
  };
  size_t lineNumber = 0;
  for (size_t start = 0; start <= text.size(); ++lineNumber) {
    size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    line = Trimmed(line.substr(0, line.find('#')));  // a comment runs to the end of its line
    start = end + 1;
    std::optional<std::string> fault;
    if (line.empty()) {
      continue;
    }
    if (line.front() == '[') {
      std::string_view release = Trimmed(line.substr(1, line.size() - 1 - line.ends_with(']')));
      if (!line.ends_with(']') || release.empty()) {
        fault = "a section is a release's version in brackets, such as [1.0.7.0]";
      } else if (!(fault = finish())) {
        if (policy.Find(release)) {
          fault = "[" + std::string(release) + "] is given twice";
        }
        section.emplace().rollout.release = std::string(release);
      }
    } else if (size_t equals = line.find('='); equals == std::string_view::npos) {
      fault = "expected a [release] or a setting such as schedule = 10%";
    } else if (!section) {
      fault = "a setting before the first [release]";
    } else {
      fault = section->Apply(Trimmed(line.substr(0, equals)), Trimmed(line.substr(equals + 1)));
    }
    if (fault) {
      error = "line " + std::to_string(lineNumber + 1) + ": " + *fault;
      return std::nullopt;
    }
  }
  if (std::optional<std::string> fault = finish()) {
    error = *fault;
    return std::nullopt;
  }
  if (policy.releases.empty()) {
    error = "no [release] section";
    return std::nullopt;
  }
  return policy;
}

std::string FormatRolloutPolicy(const RolloutPolicy& policy) {
  std::string text =
      "# The rollout of the offer in the start answer beside this file (vexo-answer rollout\n"
      "# shows and changes it). One section per release: the server uses the one named by\n"
      "# the version the answer offers. schedule: the share of agents from each time after\n"
      "# start on; halted: the offer goes to no agent.\n";
  for (const ReleaseRollout& rollout : policy.releases) {
    text += "\n[" + rollout.release + "]\n";
    text += "salt = " + FormatSalt(rollout.salt) + "\n";
    text += "start = " + FormatUtcTime(rollout.start) + "\n";
    text += "schedule = " + FormatSchedule(rollout.steps) + "\n";
    if (rollout.halted) {
      text += "halted = " +
              (rollout.haltedSince ? FormatUtcTime(rollout.haltedSince) : std::string("yes")) +
              "\n";
    }
    if (rollout.forcedImmediate) {
      text += "forced = immediate\n";
    }
  }
  return text;
}

std::optional<std::vector<RolloutStep>> ParseSchedule(std::string_view text, std::string& error) {
  std::vector<RolloutStep> steps;
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.find_first_of(" \t,", start), text.size());
    std::string_view word = text.substr(start, end - start);
    start = end + 1;
    if (word.empty()) {
      continue;
    }
    size_t at = word.find('@');
    std::optional<int> share = ParseShare(word.substr(0, at));
    std::optional<int64_t> offset =
        at == std::string_view::npos ? std::optional<int64_t>(0) : ParseOffset(word.substr(at + 1));
    if (!share || !offset) {
      error = "'" + std::string(word) +
              "' is not a step such as 5%@1d (a share up to 100%, from a time in m, h or d)";
      return std::nullopt;
    }
    if (!steps.empty() && *offset <= steps.back().offsetSeconds) {
      error = "the steps' times must grow: '" + std::string(word) + "'";
      return std::nullopt;
    }
    if (!steps.empty() && *share < steps.back().share) {
      error = "shares only grow: '" + std::string(word) + "' is less than the step before";
      return std::nullopt;
    }
    if (steps.size() == kMostSteps) {
      error = "more than " + std::to_string(kMostSteps) + " steps";
      return std::nullopt;
    }
    steps.push_back({*offset, *share});
  }
  if (steps.empty()) {
    error = "a schedule needs at least one step, such as 10%";
    return std::nullopt;
  }
  return steps;
}

std::string FormatSchedule(const std::vector<RolloutStep>& steps) {
  std::string text;
  for (const RolloutStep& step : steps) {
    text += text.empty() ? "" : " ";
    text += FormatShare(step.share);
    if (step.offsetSeconds != 0) {
      text += "@" + FormatOffset(step.offsetSeconds);
    }
  }
  return text;
}

std::string FormatShare(int share) {
  std::string text = std::to_string(share / 100);
  if (int hundredths = share % 100) {
    text += hundredths % 10 ? "." + std::to_string(100 + hundredths).substr(1)
                            : "." + std::to_string(hundredths / 10);
  }
  return text + "%";
}

std::optional<int> ParseShare(std::string_view text) {
  if (text.ends_with('%')) {
    text.remove_suffix(1);
  }
  size_t dot = text.find('.');
  std::string_view whole = text.substr(0, dot);
  std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
  std::optional<int64_t> percent = whole.size() <= 3 ? ParseNumber(whole) : std::nullopt;
  if (!percent || fraction.size() > 2 || (dot != std::string_view::npos && fraction.empty()) ||
      !std::all_of(fraction.begin(), fraction.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  int hundredths = 0;
  for (size_t i = 0; i < 2; ++i) {
    hundredths = hundredths * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
  }
  int64_t share = *percent * 100 + hundredths;
  if (share > kWholeShare) {
    return std::nullopt;
  }
  return static_cast<int>(share);
}

std::string PolicyPathOf(std::string_view answerPath) {
  if (answerPath.ends_with(".xml")) {
    answerPath.remove_suffix(4);
  }
  return std::string(answerPath) + std::string(kPolicyFileExtension);
}

}  // namespace vexo::server
