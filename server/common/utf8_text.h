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

// The code point of one well-formed sequence.
char32_t CodePointOf(std::string_view sequence);

// True for the characters beyond ASCII that steer how text is shown rather than being shown:
// the C1 controls and the bidirectional formatting characters (U+061C, U+200E, U+200F,
// U+202A to U+202E, U+2066 to U+2069), with which a recorded value could reorder or hide what
// a page shows around it.
bool SteersDisplay(char32_t codePoint);

// Calls `onAscii(out, byte)` for each ASCII byte and `onSteering(out, sequence)` for the UTF-8
// sequence of each character that SteersDisplay; appends other well-formed sequences as they
// are.
template <typename OnAscii, typename OnSteering>
std::string EscapeUtf8(std::string_view text, OnAscii onAscii, OnSteering onSteering) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    size_t length = Utf8SequenceLength(text);
    if (length == 0) {
      out += kReplacementCharacter;
      length = 1;
    } else if (length == 1) {
      onAscii(out, text[0]);
    } else if (SteersDisplay(CodePointOf(text.substr(0, length)))) {
      onSteering(out, text.substr(0, length));
    } else {
      out += text.substr(0, length);
    }
    text.remove_prefix(length);
  }
  return out;
}

// Well-formed UTF-8 of at most `maxBytes` bytes, cut before a whole character.
std::string WellFormedUtf8Prefix(std::string_view text, size_t maxBytes);

// `text` as a log line or a message shows what someone else sent: bytes outside printable ASCII
// (and quotes and backslashes, within a quoted field) as \xHH, so that it can neither forge a
// line nor steer a terminal, and cut after `maxBytes` bytes, marked "...".
std::string EscapedForLog(std::string_view text, size_t maxBytes, bool quoted);

}  // namespace vexo::server
