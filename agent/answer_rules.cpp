#include "agent/answer_rules.h"

#include <array>

#include "agent/answer_text.h"

namespace vexo {
namespace {

using VersionParts = std::array<int32_t, 4>;

// Reads a version text into four components; false when it is not a version text.
bool ReadVersion(std::u16string_view text, VersionParts& parts) {
  parts = {0, 0, 0, 0};
  size_t count = 0;
  size_t position = 0;
  while (position < text.size()) {
    // Runs of dots are one separator; leading and trailing dots are ignored.
    size_t start = text.find_first_not_of(u'.', position);
    if (start == std::u16string_view::npos)
      break;
    size_t end = text.find(u'.', start);
    if (end == std::u16string_view::npos)
      end = text.size();
    std::u16string_view part = text.substr(start, end - start);
    if (count == parts.size() || !IsAllDigits(part))
      return false;
    parts[count++] = AnswerInteger(part);  // long digit strings stop at 2147483647
    position = end;
  }
  return count > 0;
}

}  // namespace

bool IsAllDigits(std::u16string_view text) {
  for (char16_t c : text) {
    if (c < u'0' || c > u'9')
      return false;
  }
  return true;
}

int CompareVersions(std::u16string_view a, std::u16string_view b) {
  VersionParts left;
  VersionParts right;
  if (!ReadVersion(a, left))
    return kFirstIsNotAVersion;
  if (!ReadVersion(b, right))
    return kSecondIsNotAVersion;
  for (size_t i = 0; i < left.size(); ++i) {
    if (left[i] != right[i])
      return left[i] > right[i] ? 1 : -1;
  }
  return 0;
}

bool IsPlainFileName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..")
    return false;
  for (char16_t c : name) {
    if (c < 0x20 || c == u'\\' || c == u'/' || c == u':')
      return false;
  }
  return true;
}

}  // namespace vexo
