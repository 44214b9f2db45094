#include "http/http_range.h"

#include <limits>

namespace vexo {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

// Reads the decimal digits at the front of `text` into `value` and removes them; false when there
// are none or the number does not fit 64 bits.
bool TakeNumber(std::string_view& text, uint64_t& value) {
  constexpr uint64_t kMost = std::numeric_limits<uint64_t>::max();
  size_t digits = 0;
  value = 0;
  for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
    auto digit = static_cast<uint64_t>(text[digits] - '0');
    if (value > (kMost - digit) / 10)
      return false;
    value = value * 10 + digit;
  }
  text.remove_prefix(digits);
  return digits > 0;
}

bool TakeCharacter(std::string_view& text, char c) {
  if (text.empty() || text.front() != c)
    return false;
  text.remove_prefix(1);
  return true;
}

bool TakeUnit(std::string_view& text) {
  constexpr std::string_view kUnit = "bytes";
  if (text.size() <= kUnit.size())
    return false;
  for (size_t i = 0; i < kUnit.size(); ++i) {
    char c = text[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kUnit[i])
      return false;
  }
  text.remove_prefix(kUnit.size());
  if (!IsBlank(text.front()))
    return false;
  while (!text.empty() && IsBlank(text.front()))
    text.remove_prefix(1);
  return true;
}

}  // namespace

bool ParseContentRange(std::string_view text, HttpContentRange& range) {
  text = Trimmed(text);
  HttpContentRange read;
  if (!TakeUnit(text) || !TakeNumber(text, read.first) || !TakeCharacter(text, '-') ||
      !TakeNumber(text, read.last) || !TakeCharacter(text, '/') ||
      !TakeNumber(text, read.complete) || !text.empty()) {
    return false;
  }
  if (read.first > read.last || read.last >= read.complete)
    return false;
  range = read;
  return true;
}

std::u16string RangeFrom(uint64_t first) {
  std::string digits = std::to_string(first);
  return u"bytes=" + std::u16string(digits.begin(), digits.end()) + u"-";
}

}  // namespace vexo
