// The character layer of the XML document: character and entity references in values read out of
// the document, escapes of markup characters in values written into it, and UTF-16 encoding of a
// code point. Stateless; the tables are constant.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vexo {

// Option bit of EscapeText: escape the apostrophe and the double quote as well. Other bits of the
// option word belong to the calling operation and are ignored.
inline constexpr unsigned ESCAPE_QUOTES = 0x100;

// Replaces character references ("&#65;", "&#x41;") and the entity references of HTML 4 plus
// "&apos;" by the characters they stand for. Malformed, unknown or empty references, and numeric
// references to no Unicode scalar value, stay in the text as they are.
std::u16string UnescapeText(std::u16string_view text);
// The same over `length` units of `text`; a length of -1 reads up to the terminator.
std::u16string UnescapeText(const char16_t* text, int length);

// Replaces "<", "&" and ">" (and with ESCAPE_QUOTES also "'" and '"') by entity references.
std::u16string EscapeText(std::u16string_view text, unsigned options);
// The same for narrow text, as the publisher's tools write answers.
std::string EscapeText(std::string_view text, unsigned options);

// Writes `codePoint` as one or two UTF-16 units at buffer[position] and advances `position` by
// the number of units; with a null buffer it only advances `position`, so callers can count.
void EncodeUtf16Char(std::uint32_t codePoint, char16_t* buffer, std::size_t& position);

// Offset of the first `wanted` unit in text[from, end), or `end` when there is none. Values and
// texts are long runs between a few markup units, so it compares four units at a time.
inline std::size_t FindUnit(const char16_t* text, std::size_t from, std::size_t end,
                            char16_t wanted) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kLowBits = 0x0001000100010001;
    constexpr std::uint64_t kHighBits = kLowBits << 15;
    const std::uint64_t pattern = kLowBits * wanted;
    for (; from < end && end - from >= 4; from += 4) {
      std::uint64_t units = 0;
      std::memcpy(&units, text + from, sizeof units);
      const std::uint64_t differences = units ^ pattern;
      // A lane of zero sets its high bit; lanes above it may too, so only the lowest counts.
      const std::uint64_t equal = (differences - kLowBits) & ~differences & kHighBits;
      if (equal != 0) {
        return from + static_cast<std::size_t>(std::countr_zero(equal)) / 16;
      }
    }
  }
  while (from < end && text[from] != wanted) {
    ++from;
  }
  return from;
}

// The entity table: 130 buckets, each a run of entries "L" (name length), "CCCC" (decimal code
// point) and the name in lowercase. A name's bucket is the sum of its lowercase units modulo 130.
inline constexpr int kEntityBucketCount = 130;
std::u16string_view EntityBucket(int bucket);

// Code point of the named entity `name` (without "&" and ";"), or 0 when there is none. Names are
// matched without regard to case; a name that HTML defines in a capital and a small spelling
// yields the small form when written entirely in lowercase and the capital form otherwise.
std::uint32_t LookupEntity(std::u16string_view name);

}  // namespace vexo
