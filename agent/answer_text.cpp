#include "agent/answer_text.h"

#include <algorithm>
#include <limits>

#include "platform/codepage.h"

namespace vexo {
namespace {

bool IsWhiteSpace(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

char16_t LowerAscii(char16_t c) {
  return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c;
}

}  // namespace

int32_t AnswerInteger(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && IsWhiteSpace(text[i]))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
    negative = text[i++] == u'-';
  // Accumulate towards the limit of the sign's side and stop growing once beyond it.
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    magnitude = std::min<int64_t>(magnitude * 10 + (text[i] - u'0'), kLimit);
  }
  if (negative)
    return static_cast<int32_t>(-magnitude);
  return static_cast<int32_t>(std::min<int64_t>(magnitude, kLimit - 1));
}

std::u16string WidenAnsi(std::string_view text) {
  std::u16string wide;
  uint32_t error = 0;
  platform::NarrowToWide(platform::kCodePageThreadAnsi, text, wide, error);
  return wide;
}

std::string NarrowAnsi(std::u16string_view text) {
  std::string narrow;
  uint32_t error = 0;
  platform::WideToNarrow(platform::kCodePageThreadAnsi, text, narrow, error);
  return narrow;
}

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return LowerAscii(x) == LowerAscii(y); });
}

}  // namespace vexo
