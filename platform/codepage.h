// Conversions between UTF-16 and narrow code pages, with the rules of the Windows conversion calls
// made with flags 0 and no default character: characters the code page cannot hold are replaced,
// never reported. Code page numbers are Windows' on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexo::platform {

inline constexpr uint32_t kCodePageAnsi = 0;        // the system's ANSI code page
inline constexpr uint32_t kCodePageThreadAnsi = 3;  // the calling thread's ANSI code page
inline constexpr uint32_t kCodePageUtf7 = 65000;
inline constexpr uint32_t kCodePageUtf8 = 65001;

// Platform error values reported by failed conversions (Windows' numbers).
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorNoUnicodeTranslation = 1113;

// Converts `text` to `codePage`. Embedded zero units are converted like any other, so a caller
// that wants a terminator converted includes it in `text`. On failure returns false, leaves `out`
// empty and stores the platform error in `platformError`.
bool WideToNarrow(uint32_t codePage, std::u16string_view text, std::string& out,
                  uint32_t& platformError);

// Converts bytes of `codePage` to UTF-16; invalid sequences become U+FFFD (or the code page's own
// replacement), as the Windows call does with flags 0.
bool NarrowToWide(uint32_t codePage, std::string_view text, std::u16string& out,
                  uint32_t& platformError);

}  // namespace vexo::platform
