// File names on POSIX are bytes; the agent's UTF-16 paths map to them as UTF-8, as
// std::filesystem does.
#pragma once

#include <string>
#include <string_view>

namespace vexo::platform::posix {

std::string NativePath(std::u16string_view path);
std::u16string WidePath(std::string_view path);

// Strict UTF-8 to UTF-16: false for any ill-formed sequence, overlong form, surrogate or value
// beyond U+10FFFF.
bool DecodeUtf8Strict(std::string_view bytes, std::u16string& out);

}  // namespace vexo::platform::posix
