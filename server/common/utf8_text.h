// Text from the network as well-formed UTF-8: every byte that does not start a well-formed
// sequence becomes U+FFFD.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vexo::server {

inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 when it is not one
// (overlong forms, surrogates and values above U+10FFFF included).
size_t Utf8SequenceLength(std::string_view text);

// Calls `onAscii` for each ASCII byte and appends other well-formed sequences as they are.
template <typename OnAscii>
std::string EscapeUtf8(std::string_view text, OnAscii onAscii) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    size_t length = Utf8SequenceLength(text);
    if (length == 0) {
      out += kReplacementCharacter;
      length = 1;
    } else if (length == 1) {
      onAscii(out, text[0]);
    } else {
      out += text.substr(0, length);
    }
    text.remove_prefix(length);
  }
  return out;
}

// Well-formed UTF-8 of at most `maxBytes` bytes, cut before a whole character.
std::string WellFormedUtf8Prefix(std::string_view text, size_t maxBytes);

}  // namespace vexo::server
