// vexo-answer rollout: shows and changes the rollout of the release a start answer offers, in
// its policy file, which the server reads again on its next query.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/content_files.h"
#include "tools/published_answer.h"

namespace vexo::tools {

enum class RolloutAction { kStatus, kHalt, kResume, kSet, kSchedule };

struct RolloutChange {
  std::string content;      // the content folder
  std::string application;  // "" for the top-level answer
  RolloutAction action = RolloutAction::kStatus;
  std::vector<RolloutStep> steps;  // kSet: one step; kSchedule: the new schedule
  std::optional<int64_t> start;    // kSchedule: when it starts (default: now)
};

// Applies the change and returns the rollout's status as it then is. Throws std::runtime_error
// when the answer offers nothing, when the policy cannot be read (a halt still works: the brake
// never waits for a mended file), or when the change would take agents out of the share: shares
// only grow, and halting is how an offer is stopped.
std::string ChangeRollout(const RolloutChange& change, ContentFiles& files, int64_t now);

}  // namespace vexo::tools
