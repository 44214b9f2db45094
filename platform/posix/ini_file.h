// Reads private-profile (ini) text with the Windows rules.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

namespace vexo::platform::posix {

// The value of the first `key` in the first section named `section` (both compared without
// regard to ASCII case), white space trimmed and one pair of enclosing quotes removed. Lines
// longer than the reader's limit are skipped, so a hostile file cannot grow memory.
std::optional<std::string> FindIniValue(std::istream& input, std::string_view section,
                                        std::string_view key);

// The integer a profile value gives: at most its first 29 characters; leading white space, an
// optional sign, then decimal digits up to the first other character, wrapping at 32 bits as
// Windows does; 0 without digits.
int32_t ProfileInteger(std::string_view value);

}  // namespace vexo::platform::posix
