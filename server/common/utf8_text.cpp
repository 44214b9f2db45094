#include "server/common/utf8_text.h"

namespace vexo::server {

size_t Utf8SequenceLength(std::string_view text) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  auto isContinuation = [&](size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
  unsigned char lead = byte(0);
  if (lead < 0x80) {
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    return isContinuation(1) ? 2 : 0;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!isContinuation(1) || !isContinuation(2)) {
      return 0;
    }
    bool overlong = lead == 0xE0 && byte(1) < 0xA0;
    bool surrogate = lead == 0xED && byte(1) >= 0xA0;
    return overlong || surrogate ? 0 : 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!isContinuation(1) || !isContinuation(2) || !isContinuation(3)) {
      return 0;
    }
    bool overlong = lead == 0xF0 && byte(1) < 0x90;
    bool tooLarge = lead == 0xF4 && byte(1) >= 0x90;
    return overlong || tooLarge ? 0 : 4;
  }
  return 0;
}

char32_t CodePointOf(std::string_view sequence) {
  auto byte = [&](size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(sequence[i]));
  };
  switch (sequence.size()) {
    case 1:
      return byte(0);
    case 2:
      return (byte(0) & 0x1F) << 6 | (byte(1) & 0x3F);
    case 3:
      return (byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
    default:
      return (byte(0) & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 |
             (byte(3) & 0x3F);
  }
}

bool SteersDisplay(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string WellFormedUtf8Prefix(std::string_view text, size_t maxBytes) {
  // Steering characters are kept: they are made harmless where the text is shown.
  std::string out = EscapeUtf8(
      text.substr(0, maxBytes), [](std::string& o, char c) { o += c; },
      [](std::string& o, std::string_view sequence) { o += sequence; });
  size_t end = std::min(out.size(), maxBytes);
  while (end > 0 && end < out.size() && (static_cast<unsigned char>(out[end]) & 0xC0) == 0x80) {
    --end;
  }
  out.resize(end);
  return out;
}

std::string EscapedForLog(std::string_view text, size_t maxBytes, bool quoted) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text.substr(0, maxBytes)) {
    if (c < 0x20 || c >= 0x7f || (quoted && (c == '"' || c == '\\'))) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > maxBytes) {
    out += "...";
  }
  return out;
}

}  // namespace vexo::server
