// The rollout policy of a start answer: a text file beside it (start.xml has start.rollout),
// which says to what share of agents the offer goes, and when. vexo-answer writes it; a
// publisher may edit it by hand, and the server reads it again whenever it changes.
//
//   # Lines starting with '#' are comments. One section per release, named by the version
//   # its offer carries; the server uses the section of the release the answer offers.
//   [1.0.7.0]
//   salt = 5c0f9e2a7b41d3c86e1f2a9b0c7d4e35   # 32 hex digits drawn for this release
//   start = 2024-12-08T18:00:00Z              # the time the schedule's offsets count from
//   schedule = 1% 5%@1d 20%@2d 50%@4d 100%@7d # the share from each offset on
//   halted = 2024-12-09T07:30:00Z             # optional: halted since then ("yes": no time)
//   forced = immediate                        # optional: a forced offer skips the schedule
//
// Which agents are in the share is decided by the client address (an IPv4 address, or the /64
// of an IPv6 one) hashed with the release's salt: an agent keeps its place for the release's
// whole life, and a larger share holds everyone a smaller one held.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexo::server {

// Shares count hundredths of a percent.
inline constexpr int kWholeShare = 10000;
// Policy files are small; a longer one is refused.
inline constexpr size_t kMaxPolicyFileBytes = 64 * 1024;
// The policy of `start.xml` is `start.rollout` in the same folder.
inline constexpr std::string_view kPolicyFileExtension = ".rollout";

using RolloutSalt = std::array<uint8_t, 16>;

struct RolloutStep {
  int64_t offsetSeconds = 0;  // after the rollout's start
  int share = 0;              // from then on, in hundredths of a percent
  bool operator==(const RolloutStep&) const = default;
};

struct ReleaseRollout {
  std::string release;  // the version the offer carries
  RolloutSalt salt{};
  int64_t start = 0;  // Unix time
  std::vector<RolloutStep> steps;
  bool halted = false;
  int64_t haltedSince = 0;  // 0: not known
  bool forcedImmediate = false;

  // The share at `unixTime`: 0 while halted or before the first step; a forced offer under
  // "forced = immediate" goes to everyone unless halted.
  int ShareAt(int64_t unixTime, bool forcedOffer) const;
};

struct RolloutPolicy {
  std::vector<ReleaseRollout> releases;

  const ReleaseRollout* Find(std::string_view release) const;
};

// A start answer's rollout as the statistics show it.
struct RolloutStatus {
  std::string answer;   // below the content folder: "start.xml", "apps/<t>/start.xml"
  std::string release;  // the version its offer carries
  bool forcedOffer = false;
  // The section in force; none when the policy cannot be used, which `problem` then says: the
  // offer goes to no agent.
  std::optional<ReleaseRollout> rollout;
  std::string problem;
  int64_t at = 0;    // the time the status describes
  int shareNow = 0;  // at that time
};

// The policy in `text`; nullopt, with the first fault (and its line) in `error`, when it is
// malformed in any way.
std::optional<RolloutPolicy> ParseRolloutPolicy(std::string_view text, std::string& error);
std::string FormatRolloutPolicy(const RolloutPolicy& policy);

// "1% 5%@1d 20%@2d 50%@4d 100%@7d": steps separated by blanks or commas, each a share (a
// percentage with up to two decimals, the '%' optional) and, after '@', the time from the start
// from which it holds (a whole number of m, h or d; none: from the start). Offsets must grow
// and shares never fall.
std::optional<std::vector<RolloutStep>> ParseSchedule(std::string_view text, std::string& error);
std::string FormatSchedule(const std::vector<RolloutStep>& steps);

// "12.5%" and back ("12.5", "12.5%").
std::string FormatShare(int share);
std::optional<int> ParseShare(std::string_view text);

// The policy file of the answer at `answerPath` (…/start.xml → …/start.rollout).
std::string PolicyPathOf(std::string_view answerPath);

}  // namespace vexo::server
