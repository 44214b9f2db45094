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

std::string WellFormedUtf8Prefix(std::string_view text, size_t maxBytes) {
  std::string out = EscapeUtf8(text.substr(0, maxBytes), [](std::string& o, char c) { o += c; });
  size_t end = std::min(out.size(), maxBytes);
  while (end > 0 && end < out.size() && (static_cast<unsigned char>(out[end]) & 0xC0) == 0x80) {
    --end;
  }
  out.resize(end);
  return out;
}

}  // namespace vexo::server
