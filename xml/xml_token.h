// The tokenizer of the XML document and the word and attribute scanners that read names and
// values out of a start tag. All offsets count UTF-16 units of the scanned text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vexo {

// Token kinds returned by NextToken.
inline constexpr int TOKEN_END_OF_TEXT = -2;
inline constexpr int TOKEN_MALFORMED = -1;
inline constexpr int NODE_END_TAG = 0;
inline constexpr int NODE_ELEMENT = 1;
inline constexpr int NODE_TEXT = 2;
inline constexpr int NODE_WHITESPACE = 4;
inline constexpr int NODE_CDATA_SECTION = 8;
inline constexpr int NODE_PROCESSING_INSTRUCTION = 16;
inline constexpr int NODE_COMMENT = 32;
inline constexpr int NODE_DOCUMENT_TYPE = 64;

// TokenInfo::flags: the start tag ends in "/>".
inline constexpr std::uint32_t TOKEN_EMPTY_ELEMENT = 0x10000;
// TokenScanner::flags: the value that FindAttributeInTag found was quoted.
inline constexpr std::uint32_t SCANNER_QUOTED = 0x8000;

struct TokenScanner {
  const char16_t* text = nullptr;
  std::uint32_t end = 0;        // scanning never reads at or past this offset
  std::uint32_t wordStart = 0;  // the last word or name found, inclusive at both ends
  std::uint32_t wordEnd = 0;
  std::uint32_t next = 0;  // where scanning continues
  std::uint32_t flags = 0;
  std::uint32_t nameOffset = 0;  // FindAttributeInTag: the wanted name, from the scan's start

  TokenScanner() = default;
  TokenScanner(std::u16string_view scanned, std::uint32_t from)
      : text(scanned.data()), end(static_cast<std::uint32_t>(scanned.size())), next(from) {}

  std::uint32_t WordLength() const { return wordEnd + 1 - wordStart; }
  std::u16string_view Word() const { return {text + wordStart, WordLength()}; }
  void SetWord(std::uint32_t first, std::uint32_t pastLast) {
    wordStart = first;
    wordEnd = pastLast - 1;
  }
};

struct TokenInfo {
  int kind = TOKEN_MALFORMED;
  std::uint32_t start = 0;
  std::uint32_t length = 0;
  std::uint32_t flags = 0;
  std::u16string errors;  // syntax-error records, in the parse result's form
};

// Reads the token at the scanner's `next` and moves `next` past it. For start, end tags and
// processing instructions the scanner's word is the name. Syntax errors are appended to
// `token.errors`.
int NextToken(TokenScanner& scanner, TokenInfo& token);

// Skips white space and takes the next word (a single delimiter unit is a word of its own).
// False at the end of the text.
bool NextWord(TokenScanner& scanner);

// True when the scanner's word equals the start of `name` and `name` ends there or goes on with
// one of " =/[]".
bool MatchName(const TokenScanner& scanner, std::u16string_view name);

// Looks for the attribute `name` in the start tag whose name is at the scanner's `next`. On
// success the scanner's word is the value (SCANNER_QUOTED in `flags` when it was quoted), or the
// attribute's own name when it has no value. When it is absent, `next` is where the tag's last
// word ended.
bool FindAttributeInTag(TokenScanner& scanner, std::u16string_view name);

// An attribute name of a start tag with the word FindAttributeInTag answers when it is the first
// name that matches: its value, or the name itself when it has none. Ranges are [first, pastLast).
struct TagAttribute {
  std::uint32_t nameFirst = 0;
  std::uint32_t namePastLast = 0;
  bool answered = false;  // false when the tag ran out before the answer
  std::uint32_t answerFirst = 0;
  std::uint32_t answerPastLast = 0;
  std::uint32_t next = 0;  // where the scan went on after the answer
  bool quoted = false;

  std::u16string_view Name(const char16_t* text) const {
    return {text + nameFirst, namePastLast - nameFirst};
  }
  std::u16string_view Answer(const char16_t* text) const {
    return {text + answerFirst, answerPastLast - answerFirst};
  }
};

// Reads the attribute names of a start tag one by one, as FindAttributeInTag meets them.
class TagAttributeReader {
 public:
  TagAttributeReader() = default;
  // The tag's name is at `from` in `tag`, after any white space.
  TagAttributeReader(std::u16string_view tag, std::uint32_t from);

  // The next name and its answer; false once the tag is read to its end.
  bool Next(TagAttribute& attribute);
  // Once Next gave false: after the tag's last word, or the end of the text.
  std::uint32_t StoppedAt() const { return next_; }

 private:
  bool Stop(std::uint32_t stop);
  void ReadAnswer(TagAttribute& attribute);

  const char16_t* text_ = nullptr;
  std::uint32_t end_ = 0;
  std::uint32_t next_ = 0;
  bool afterEquals_ = false;
  bool done_ = true;
};

// The attributes of one start tag, each read at most once however many names are looked up: a
// lookup goes on from where the last one stopped. Gives FindAttributeInTag's answers.
class TagAttributes {
 public:
  // Starts on the tag whose name is at `from` in `tag`; the text must stay as it is while used.
  void Read(std::u16string_view tag, std::uint32_t from) {
    text_ = tag.data();
    reader_ = TagAttributeReader(tag, from);
    kept_.clear();
  }
  // The first attribute whose name matches `name` as MatchName does, or null. The pointer holds
  // until the next call.
  const TagAttribute* Find(std::u16string_view name);

 private:
  // Beyond this many attributes, each lookup reads on from the last one kept.
  static constexpr std::size_t kMaxKept = 64;

  const char16_t* text_ = nullptr;
  TagAttributeReader reader_;  // after the last attribute kept
  std::vector<TagAttribute> kept_;
  TagAttribute beyondKept_;
};

}  // namespace vexo
