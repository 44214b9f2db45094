// Private-profile (ini) files and the local date.
#pragma once

#include <cstdint>
#include <string_view>

namespace vexo::platform {

// The integer value of `key` in `section` of the ini file at `path`, with the Windows rules:
// section and key compared without regard to case, white space trimmed, leading decimal digits
// with an optional sign; `defaultValue` when the file, section or key is missing or the value
// empty.
int32_t GetPrivateProfileInt(std::u16string_view section, std::u16string_view key,
                             int32_t defaultValue, std::u16string_view path);

struct LocalDate {
  int year = 0;
  int month = 0;  // 1 to 12
  int day = 0;    // 1 to 31
};
LocalDate Today();

}  // namespace vexo::platform
