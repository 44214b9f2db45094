// Text from the network made safe inside a JSON string or an HTML page: every special character
// escaped, bytes that are not UTF-8 replaced with U+FFFD, and every control character (C0, DEL,
// C1) and bidirectional formatting character made visible: escaped as \uXXXX in JSON, shown as
// "?" on a page, so that no recorded value can reorder or hide what is shown around it.
#pragma once

#include <string>
#include <string_view>

namespace vexo::server {

std::string EscapeJsonString(std::string_view text);  // without the surrounding quotes
std::string EscapeHtml(std::string_view text);

}  // namespace vexo::server
