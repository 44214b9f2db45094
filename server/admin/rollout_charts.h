// The rollouts on the statistics page: for each release a policy governs, its schedule and its
// share now, the offers it served and withheld per day, and how far its version has spread.
#pragma once

#include <string>
#include <vector>

#include "server/common/rollout_policy.h"
#include "server/store/checkin_summary.h"

namespace vexo::server {

std::string RenderRollouts(const CheckinSummary& summary,
                           const std::vector<RolloutStatus>& rollouts);

}  // namespace vexo::server
