// Splits a parameter text into arguments the way Windows programs split their command line.
#pragma once

#include <string>
#include <vector>

namespace vexo::platform::posix {

// Arguments are separated by spaces and tabs; double quotes group (and are removed); inside
// quotes "" is a literal quote; 2n backslashes before a quote give n backslashes and the quote
// groups, 2n+1 give n backslashes and a literal quote; other backslashes are literal.
std::vector<std::u16string> SplitWindowsCommandLine(std::u16string_view text);

}  // namespace vexo::platform::posix
