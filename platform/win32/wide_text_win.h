// Portable text is UTF-16 in std::u16string; the Win32 calls take wchar_t, which is 16 bits on
// Windows. The conversion happens here, at the edge of the API, and nowhere else.
#pragma once

#include <string>
#include <string_view>

namespace vexo::platform::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must be UTF-16 on Windows");

inline std::wstring ToWide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

inline std::u16string FromWide(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

// The Win32 calls take terminated strings: a text with a zero unit inside would be cut there and
// name something else.
inline bool HasEmbeddedZero(std::u16string_view text) {
  return text.find(u'\0') != std::u16string_view::npos;
}

}  // namespace vexo::platform::win32
