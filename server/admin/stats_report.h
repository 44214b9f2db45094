// The check-in summary as JSON (for scripts) and as an HTML page (for a browser). Every value
// came from the network, so both renderings escape all of it (web_text.h).
#pragma once

#include <string>
#include <vector>

#include "server/common/rollout_policy.h"
#include "server/store/checkin_summary.h"
#include "server/transport/client_connections.h"

namespace vexo::server {

// With the content folder's `rollouts`, as the agents' listener applies them now, and the counts
// of connections refused or abandoned and of malformed requests (client_connections.h).
std::string RenderStatsJson(const CheckinSummary& summary,
                            const std::vector<RolloutStatus>& rollouts = {},
                            const ConnectionCounts& connections = {});
std::string RenderStatsHtml(const CheckinSummary& summary,
                            const std::vector<RolloutStatus>& rollouts = {},
                            const ConnectionCounts& connections = {});

}  // namespace vexo::server
