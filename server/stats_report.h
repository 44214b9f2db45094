// The check-in summary as JSON (for scripts) and as an HTML page (for a browser). Every value
// came from the network, so both renderings escape all of it and replace bytes that are not
// UTF-8 with U+FFFD.
#pragma once

#include <string>
#include <string_view>

#include "server/checkin_store.h"

namespace vexo::server {

std::string EscapeJsonString(std::string_view text);  // without the surrounding quotes
std::string EscapeHtml(std::string_view text);

std::string RenderStatsJson(const CheckinSummary& summary);
std::string RenderStatsHtml(const CheckinSummary& summary);

// "2024-12-08T18:50:00Z"
std::string FormatUtcTime(int64_t unixTime);

}  // namespace vexo::server
