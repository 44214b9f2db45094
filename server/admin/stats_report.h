// The check-in summary as JSON (for scripts) and as an HTML page (for a browser). Every value
// came from the network, so both renderings escape all of it (web_text.h).
#pragma once

#include <string>

#include "server/store/checkin_summary.h"

namespace vexo::server {

std::string RenderStatsJson(const CheckinSummary& summary);
std::string RenderStatsHtml(const CheckinSummary& summary);

}  // namespace vexo::server
