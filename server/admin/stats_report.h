// The check-in summary as JSON (for scripts) and as an HTML page (for a browser). Every value
// came from the network, so both renderings escape all of it (web_text.h).
#pragma once

#include <string>
#include <vector>

#include "server/common/rollout_policy.h"
#include "server/store/checkin_summary.h"

namespace vexo::server {

// With the content folder's `rollouts`, as the agents' listener applies them now.
std::string RenderStatsJson(const CheckinSummary& summary,
                            const std::vector<RolloutStatus>& rollouts = {});
std::string RenderStatsHtml(const CheckinSummary& summary,
                            const std::vector<RolloutStatus>& rollouts = {});

}  // namespace vexo::server
