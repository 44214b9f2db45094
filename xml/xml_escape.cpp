// Character and entity references, escapes and UTF-16 encoding.
#include "xml/xml_escape.h"

#include <algorithm>
#include <array>
#include <optional>

namespace vexo {
namespace {

// A reference is "&", at most this many name units, then ";".
constexpr std::size_t kMaxReferenceUnits = 9;

constexpr std::uint32_t kLastCodePoint = 0x10FFFF;

bool IsAsciiUpper(char16_t unit) {
  return unit >= u'A' && unit <= u'Z';
}

char16_t FoldAscii(char16_t unit) {
  return IsAsciiUpper(unit) ? static_cast<char16_t>(unit + (u'a' - u'A')) : unit;
}

bool IsNumberSpace(char16_t unit) {
  return unit == u' ' || (unit >= u'\t' && unit <= u'\r');
}

int DigitValue(char16_t unit, int base) {
  int value = 36;
  if (unit >= u'0' && unit <= u'9') {
    value = unit - u'0';
  } else if (unit >= u'a' && unit <= u'z') {
    value = unit - u'a' + 10;
  } else if (unit >= u'A' && unit <= u'Z') {
    value = unit - u'A' + 10;
  }
  return value < base ? value : -1;
}

// Reads a signed integer of `base` the way the C library does: white space, an optional sign, then
// digits up to the first unit that is not one. No digits read as 0. A reference holds at most
// eight units, so the value cannot overflow.
std::int64_t ReadInteger(std::u16string_view digits, int base) {
  std::size_t i = 0;
  while (i < digits.size() && IsNumberSpace(digits[i])) {
    ++i;
  }
  bool negative = false;
  if (i < digits.size() && (digits[i] == u'+' || digits[i] == u'-')) {
    negative = digits[i] == u'-';
    ++i;
  }
  std::int64_t value = 0;
  for (; i < digits.size(); ++i) {
    const int digit = DigitValue(digits[i], base);
    if (digit < 0) {
      break;
    }
    value = value * base + digit;
  }
  return negative ? -value : value;
}

bool IsScalarValue(std::int64_t value) {
  return value > 0 && value <= kLastCodePoint && !(value >= 0xD800 && value <= 0xDFFF);
}

// "#65", "#x41", "#X41" (the name after "&"). Values that are no Unicode scalar value give 0.
std::uint32_t DecodeNumericReference(std::u16string_view name) {
  std::u16string_view digits = name.substr(1);
  int base = 10;
  if (!digits.empty() && FoldAscii(digits.front()) == u'x') {
    base = 16;
    digits.remove_prefix(1);
  }
  const std::int64_t value = ReadInteger(digits, base);
  return IsScalarValue(value) ? static_cast<std::uint32_t>(value) : 0;
}

std::uint32_t DecodeReference(std::u16string_view name) {
  if (!name.empty() && name.front() == u'#') {
    return DecodeNumericReference(name);
  }
  return LookupEntity(name);
}

// One entry of a bucket, read in place.
struct EntityEntry {
  std::u16string_view name;
  std::uint32_t codePoint = 0;
};

std::optional<EntityEntry> ReadEntry(std::u16string_view bucket, std::size_t& offset) {
  constexpr std::size_t kHeaderUnits = 5;
  if (offset + kHeaderUnits > bucket.size()) {
    return std::nullopt;
  }
  const std::size_t length = bucket[offset] - u'0';
  std::uint32_t codePoint = 0;
  for (std::size_t i = 1; i < kHeaderUnits; ++i) {
    codePoint = codePoint * 10 + static_cast<std::uint32_t>(bucket[offset + i] - u'0');
  }
  EntityEntry entry{bucket.substr(offset + kHeaderUnits, length), codePoint};
  offset += kHeaderUnits + length;
  return entry;
}

int BucketOf(std::u16string_view foldedName) {
  std::uint32_t sum = 0;
  for (char16_t unit : foldedName) {
    sum += unit;
  }
  return static_cast<int>(sum % kEntityBucketCount);
}

// The replacement of one unit, or an empty view when it is copied as it is.
std::u16string_view EscapeOf(char16_t unit, unsigned options) {
  switch (unit) {
    case u'<':
      return u"&lt;";
    case u'&':
      return u"&amp;";
    case u'>':
      return u"&gt;";
    case u'\'':
      return (options & ESCAPE_QUOTES) ? u"&apos;" : u"";
    case u'"':
      return (options & ESCAPE_QUOTES) ? u"&quot;" : u"";
    default:
      return u"";
  }
}

}  // namespace

std::uint32_t LookupEntity(std::u16string_view name) {
  constexpr std::size_t kMaxNameUnits = 8;
  if (name.empty() || name.size() > kMaxNameUnits) {
    return 0;
  }
  std::array<char16_t, kMaxNameUnits> folded{};
  bool hasCapital = false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] >= 0x80) {
      return 0;
    }
    hasCapital = hasCapital || IsAsciiUpper(name[i]);
    folded[i] = FoldAscii(name[i]);
  }
  const std::u16string_view key(folded.data(), name.size());
  const std::u16string_view bucket = EntityBucket(BucketOf(key));
  std::uint32_t found = 0;
  std::size_t offset = 0;
  while (const auto entry = ReadEntry(bucket, offset)) {
    if (entry->name != key) {
      continue;
    }
    if (found != 0) {
      return entry->codePoint;  // the small form, which follows the capital one
    }
    found = entry->codePoint;
    if (hasCapital) {
      break;
    }
  }
  return found;
}

std::u16string UnescapeText(std::u16string_view text) {
  std::u16string result;
  result.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t ampersand = FindUnit(text.data(), i, text.size(), u'&');
    result.append(text.substr(i, ampersand - i));
    if (ampersand == text.size()) {
      break;
    }
    i = ampersand;
    // The name runs to a ";" among the next units, all of them ASCII.
    std::size_t end = i + 1;
    const std::size_t limit = std::min(text.size(), i + 1 + kMaxReferenceUnits);
    while (end < limit && text[end] != u';' && text[end] < 0x80) {
      ++end;
    }
    const bool terminated = end < limit && text[end] == u';';
    const std::uint32_t codePoint =
        terminated ? DecodeReference(text.substr(i + 1, end - i - 1)) : 0;
    if (codePoint == 0) {
      result.push_back(text[i++]);
      continue;
    }
    std::size_t length = result.size();
    result.resize(length + 2);
    EncodeUtf16Char(codePoint, result.data(), length);
    result.resize(length);
    i = end + 1;
  }
  return result;
}

std::u16string UnescapeText(const char16_t* text, int length) {
  if (text == nullptr) {
    return {};
  }
  if (length < 0) {
    return UnescapeText(std::u16string_view(text));
  }
  return UnescapeText(std::u16string_view(text, static_cast<std::size_t>(length)));
}

std::u16string EscapeText(std::u16string_view text, unsigned options) {
  std::u16string result;
  result.reserve(text.size() + text.size() / 10 + 7);
  for (char16_t unit : text) {
    const std::u16string_view escape = EscapeOf(unit, options);
    if (escape.empty()) {
      result.push_back(unit);
    } else {
      result.append(escape);
    }
  }
  return result;
}

std::string EscapeText(std::string_view text, unsigned options) {
  std::string result;
  result.reserve(text.size() + text.size() / 10 + 7);
  for (char byte : text) {
    // Markup characters are ASCII, so the bytes of any ASCII-compatible code page pass unchanged.
    const std::u16string_view escape = EscapeOf(static_cast<unsigned char>(byte), options);
    if (escape.empty()) {
      result.push_back(byte);
    } else {
      result.append(escape.begin(), escape.end());
    }
  }
  return result;
}

void EncodeUtf16Char(std::uint32_t codePoint, char16_t* buffer, std::size_t& position) {
  if (codePoint <= 0xFFFF) {
    if (buffer != nullptr) {
      buffer[position] = static_cast<char16_t>(codePoint);
    }
    position += 1;
    return;
  }
  if (buffer != nullptr) {
    buffer[position] = static_cast<char16_t>(0xD800 | (((codePoint - 0x10000) >> 10) & 0x3FF));
    buffer[position + 1] = static_cast<char16_t>(0xDC00 | (codePoint & 0x3FF));
  }
  position += 2;
}

}  // namespace vexo
