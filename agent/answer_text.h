// Small text rules shared by the answer readers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexo {

// The decimal value of a text: leading white space skipped, an optional sign, then digits up to
// the first other character; beyond the 32-bit signed range the nearest limit; 0 without digits.
int32_t AnswerInteger(std::u16string_view text);

// Narrow text in the thread's ANSI code page, to UTF-16 and back. Unconvertible characters are
// replaced, as the platform's conversion does.
std::u16string WidenAnsi(std::string_view text);
std::string NarrowAnsi(std::u16string_view text);

// Equality without regard to the case of ASCII letters (hexadecimal digests).
bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b);

}  // namespace vexo
