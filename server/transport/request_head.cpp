#include "server/transport/request_head.h"

#include <algorithm>
#include <cctype>

namespace vexo::server {
namespace {

// The bytes between two parts of the head, from the zero byte ending one (at `end`) to the
// start of the next. Between parts of a line only blanks may stand; between lines only blanks
// and at most `lineEnds` further zero bytes (the library's over CR and LF).
bool SoundGap(std::string_view block, size_t end, size_t next, size_t lineEnds) {
  if (end >= block.size() || block[end] != '\0' || next < end + 1 || next > block.size()) {
    return false;
  }
  std::string_view gap = block.substr(end + 1, next - end - 1);
  size_t zeroBytes = static_cast<size_t>(std::count(gap.begin(), gap.end(), '\0'));
  return zeroBytes <= lineEnds && std::all_of(gap.begin(), gap.end(), [](char c) {
           return c == '\0' || c == ' ' || c == '\t';
         });
}

// Where the part starting at `offset` ends: its zero byte.
size_t EndOf(std::string_view block, size_t offset) {
  return std::min(block.find('\0', offset), block.size());
}

bool IsDecimal(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && blank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool SameWithoutCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool HoldsZeroByte(const ParsedHead& head) {
  const std::string_view block = head.block;
  constexpr size_t kWithinLine = 0, kOneLineEnd = 1, kTwoLineEnds = 3;
  size_t targetEnd = head.target + head.targetLength;
  if (!SoundGap(block, EndOf(block, head.method), head.target, kWithinLine) ||
      !SoundGap(block, targetEnd, head.version, kWithinLine)) {
    return true;
  }
  size_t end = EndOf(block, head.version);
  for (const ParsedHead::Field& field : head.fields) {
    if (!SoundGap(block, end, field.name, kOneLineEnd) ||
        !SoundGap(block, EndOf(block, field.name), field.value, kWithinLine)) {
      return true;
    }
    end = EndOf(block, field.value);
  }
  // The last line, then the empty line that ends the head.
  return !SoundGap(block, end, block.size(), kTwoLineEnds);
}

std::optional<std::string_view> HeadFault(std::string_view protocol,
                                          const std::vector<HeaderLine>& headers) {
  size_t hosts = 0;
  bool transferEncoding = false;
  std::optional<std::string_view> length;
  for (const HeaderLine& header : headers) {
    if (SameWithoutCase(header.name, "Host")) {
      ++hosts;
    } else if (SameWithoutCase(header.name, "Transfer-Encoding")) {
      transferEncoding = true;
    } else if (SameWithoutCase(header.name, "Content-Length")) {
      std::string_view value = TrimBlanks(header.value);
      if (!IsDecimal(value) || (length && *length != value)) {
        return "malformed Content-Length";
      }
      length = value;
    }
  }
  if (length && transferEncoding) {
    return "both Content-Length and Transfer-Encoding";
  }
  if (protocol == "HTTP/1.1" && hosts != 1) {
    return "HTTP/1.1 needs one Host header";
  }
  return std::nullopt;
}

}  // namespace vexo::server
