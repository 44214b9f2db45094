// Helpers shared by the XML document tests.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace vexo::xml_test {

// Readable form of a UTF-16 text for failure messages: ASCII as it is, the rest as \uXXXX.
inline std::string Readable(std::u16string_view text) {
  std::string out;
  for (char16_t unit : text) {
    if (unit >= 0x20 && unit < 0x7F) {
      out += static_cast<char>(unit);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(unit));
      out += escape;
    }
  }
  return out;
}

}  // namespace vexo::xml_test
