// Text from the network made safe inside a JSON string or an HTML page: every special character
// escaped, and bytes that are not UTF-8 replaced with U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace vexo::server {

std::string EscapeJsonString(std::string_view text);  // without the surrounding quotes
std::string EscapeHtml(std::string_view text);

}  // namespace vexo::server
