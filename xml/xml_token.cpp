// The tokenizer: one token per call, with the error records of malformed markup.
#include "xml/xml_token.h"

#include <array>

#include "xml/xml_navigator.h"

namespace vexo {
namespace {

constexpr std::uint32_t kNotFound = UINT32_MAX;

// Classes of ASCII units, looked up in the scanners' inner loops.
enum UnitClass : std::uint8_t {
  kSpace = 0x1,          // space, tab, LF, CR
  kGreater = 0x2,        // ">"
  kAttributeStop = 0x4,  // "=", "/", "?": end an attribute name, not a value
  kWordDelimiter = 0x8,  // the delimiters of NextWord
  kTagNameStop = 0x10,   // "/"; with kSpace and kGreater it ends a tag name
};

constexpr std::array<std::uint8_t, 128> kUnitClasses = [] {
  std::array<std::uint8_t, 128> classes{};
  for (char16_t unit : std::u16string_view(u" \t\n\r")) {
    classes[unit] |= kSpace | kWordDelimiter;
  }
  classes[u'>'] |= kGreater;
  for (char16_t unit : std::u16string_view(u"=/?")) {
    classes[unit] |= kAttributeStop;
  }
  for (char16_t unit : std::u16string_view(u"<>=\\/?!\"';")) {
    classes[unit] |= kWordDelimiter;
  }
  classes[u'/'] |= kTagNameStop;
  return classes;
}();

bool HasClass(char16_t unit, unsigned classes) {
  return unit < kUnitClasses.size() && (kUnitClasses[unit] & classes) != 0;
}

bool IsSpace(char16_t unit) {
  return HasClass(unit, kSpace);
}

bool IsQuote(char16_t unit) {
  return unit == u'"' || unit == u'\'';
}

// Letters, ":", "_" and every unit above 0x60 (non-ASCII included) may start a tag name.
bool IsNameStart(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') || unit == u':' || unit == u'_' || unit > 0x60;
}

bool EndsTagName(char16_t unit) {
  return HasClass(unit, kSpace | kGreater | kTagNameStop);
}

bool IsMarkupDeclarationStart(char16_t unit) {
  return unit == u'E' || unit == u'A' || unit == u'N';  // ELEMENT, ATTLIST, ENTITY, NOTATION
}

bool EndsWord(char16_t unit) {
  return HasClass(unit, kWordDelimiter);
}

bool FollowsMatchedName(char16_t unit) {
  return unit == u' ' || unit == u'=' || unit == u'/' || unit == u'[' || unit == u']';
}

// `word` is the whole of `name` or its start up to one of " =/[]".
bool WordMatchesName(std::u16string_view word, std::u16string_view name) {
  if (word.size() > name.size() || name.substr(0, word.size()) != word) {
    return false;
  }
  return word.size() == name.size() || FollowsMatchedName(name[word.size()]);
}

// Quoted values of start tags and malformed tokens. A quote opens a value only right after "="
// (white space between them allowed; "==" does not count); inside a value only the same quote
// closes it.
class QuotedValues {
 public:
  // True when `unit` belongs to a quoted value or to the white space before one.
  bool Consume(char16_t unit, char16_t previous) {
    if (quote_ != 0) {
      quote_ = unit == quote_ ? 0 : quote_;
      return true;
    }
    if (valueExpected_) {
      if (IsSpace(unit)) {
        return true;
      }
      valueExpected_ = false;
      if (IsQuote(unit)) {
        quote_ = unit;
        return true;
      }
    }
    if (unit == u'=' && previous != u'=') {
      valueExpected_ = true;
    }
    return false;
  }

 private:
  char16_t quote_ = 0;
  bool valueExpected_ = false;
};

// Reads one token from the scanner's `next`.
class Tokenizer {
 public:
  Tokenizer(TokenScanner& scanner, TokenInfo& token)
      : scanner_(scanner),
        token_(token),
        text_(scanner.text),
        end_(scanner.end),
        start_(scanner.next) {}

  int Run() {
    token_.kind = TOKEN_MALFORMED;
    token_.start = start_;
    token_.flags = 0;
    int kind = TOKEN_END_OF_TEXT;
    if (start_ < end_) {
      const char16_t first = text_[start_];
      if (first == u'<') {
        kind = Markup();
      } else if (IsSpace(first)) {
        kind = WhiteSpace(start_ + 1);
      } else {
        kind = Text(start_ + 1);
      }
    }
    token_.kind = kind;
    token_.length = scanner_.next - start_;
    return kind;
  }

 private:
  int Finish(int kind, std::uint32_t next) {
    scanner_.next = next;
    return kind;
  }

  // Text ends before a "<" or after a ">".
  int Text(std::uint32_t p) {
    while (p < end_) {
      const char16_t unit = text_[p];
      if (unit == u'<') {
        break;
      }
      ++p;
      if (unit == u'>') {
        break;
      }
    }
    return Finish(NODE_TEXT, p);
  }

  int WhiteSpace(std::uint32_t p) {
    while (p < end_ && IsSpace(text_[p])) {
      ++p;
    }
    if (p == end_ || text_[p] == u'<') {
      return Finish(NODE_WHITESPACE, p);
    }
    return Text(p);
  }

  int Markup() {
    const std::uint32_t p = start_ + 1;
    if (p >= end_) {
      return Unterminated(u"tag");
    }
    const char16_t unit = text_[p];
    if (unit == u'!') {
      return Exclamation(p + 1);
    }
    if (unit == u'/') {
      return EndTag(p + 1);
    }
    if (unit == u'?') {
      ReadName(p + 1);
      return Delimited(NODE_PROCESSING_INSTRUCTION, u"?>", p + 1, u"processing_instruction");
    }
    if (IsNameStart(unit)) {
      return StartTag(ReadName(p));
    }
    return Malformed(u"first_tag_syntax", p);
  }

  // After "<!": a comment, a CDATA section or a document type declaration.
  int Exclamation(std::uint32_t p) {
    if (p >= end_) {
      return Unterminated(u"tag");
    }
    const char16_t unit = text_[p];
    if (unit == u'D') {
      return DocumentType(p + 1);
    }
    if (unit != u'-' && unit != u'[') {
      return Malformed(u"exclamation_tag_syntax", p);
    }
    if (p + 1 >= end_) {
      return Unterminated(u"tag");
    }
    if (unit == u'-') {
      if (text_[p + 1] != u'-') {
        return Malformed(u"comment_tag_syntax", p + 1);
      }
      return Delimited(NODE_COMMENT, u"-->", p + 2, u"comment");
    }
    if (text_[p + 1] != u'C') {
      return Malformed(u"cdata_section_syntax", p + 1);
    }
    return Delimited(NODE_CDATA_SECTION, u"]]>", p + 2, u"cdata_section");
  }

  // The tag name runs to white space, "/", ">" or the end; it becomes the scanner's word.
  std::uint32_t ReadName(std::uint32_t p) {
    const std::uint32_t first = p;
    while (p < end_ && !EndsTagName(text_[p])) {
      ++p;
    }
    scanner_.SetWord(first, p);
    return p;
  }

  // A start tag ends at the first ">" outside a quoted value.
  int StartTag(std::uint32_t p) {
    const std::uint32_t nameEnd = p;
    QuotedValues values;
    for (; p < end_; ++p) {
      const char16_t unit = text_[p];
      if (values.Consume(unit, text_[p - 1])) {
        continue;
      }
      if (unit == u'>') {
        if (IsEmptyElementEnd(p, nameEnd)) {
          token_.flags |= TOKEN_EMPTY_ELEMENT;
        }
        return Finish(NODE_ELEMENT, p + 1);
      }
    }
    return Unterminated(u"start_tag");
  }

  // "/>" after the name, white space or a quote: `<a/>`, `<a />`, `<a b="1"/>`, but not
  // `<a b=x/>`, whose "/" belongs to the value.
  bool IsEmptyElementEnd(std::uint32_t closing, std::uint32_t nameEnd) const {
    const std::uint32_t slash = closing - 1;
    if (text_[slash] != u'/') {
      return false;
    }
    const char16_t before = text_[slash - 1];
    return slash == nameEnd || IsSpace(before) || IsQuote(before);
  }

  int EndTag(std::uint32_t p) {
    for (p = ReadName(p); p < end_; ++p) {
      if (text_[p] == u'>') {
        return Finish(NODE_END_TAG, p + 1);
      }
    }
    return Unterminated(u"end_tag");
  }

  // Position after the ">" that completes `delimiter`, searching from `p`, or kNotFound. The ">"
  // must lie beyond the delimiter's length from `opened`, so `<!-->` is a whole comment while
  // `<?>` is not a whole instruction.
  std::uint32_t DelimiterEnd(std::uint32_t p, std::uint32_t opened,
                             std::u16string_view delimiter) const {
    const auto length = static_cast<std::uint32_t>(delimiter.size());
    for (; p < end_; ++p) {
      if (text_[p] != u'>' || p - opened <= length) {
        continue;
      }
      if (std::u16string_view(text_ + p + 1 - length, length) == delimiter) {
        return p + 1;
      }
    }
    return kNotFound;
  }

  int Delimited(int kind, std::u16string_view delimiter, std::uint32_t p, const char16_t* type) {
    const std::uint32_t after = DelimiterEnd(p, start_, delimiter);
    return after == kNotFound ? Unterminated(type) : Finish(kind, after);
  }

  // Position after the ">" that closes a markup declaration (quotes toggle), or kNotFound.
  std::uint32_t DeclarationEnd(std::uint32_t p) const {
    char16_t quote = 0;
    for (; p < end_; ++p) {
      const char16_t unit = text_[p];
      if (quote != 0) {
        quote = unit == quote ? 0 : quote;
      } else if (IsQuote(unit)) {
        quote = unit;
      } else if (unit == u'>') {
        return p + 1;
      }
    }
    return kNotFound;
  }

  // `<!DOCTYPE ... [ ... ]>` is one token: the declarations, comments and processing
  // instructions of its internal subset included.
  int DocumentType(std::uint32_t p) {
    char16_t quote = 0;
    while (p < end_) {
      const char16_t unit = text_[p];
      if (quote != 0) {
        quote = unit == quote ? 0 : quote;
      } else if (IsQuote(unit)) {
        quote = unit;
      } else if (unit == u'>') {
        return Finish(NODE_DOCUMENT_TYPE, p + 1);
      } else if (unit == u'<') {
        const InnerMarkup inner = ReadInnerMarkup(p);
        if (inner.outcome == InnerMarkup::kMalformed) {
          return TOKEN_MALFORMED;
        }
        if (inner.outcome == InnerMarkup::kUnterminated) {
          break;
        }
        p = inner.next;
        continue;
      }
      ++p;
    }
    return Unterminated(u"document_type");
  }

  struct InnerMarkup {
    enum Outcome { kClosed, kUnterminated, kMalformed } outcome;
    std::uint32_t next;  // after the markup, when closed
  };

  InnerMarkup Closed(std::uint32_t after) const {
    return {after == kNotFound ? InnerMarkup::kUnterminated : InnerMarkup::kClosed, after};
  }

  InnerMarkup MalformedInside(std::u16string_view kind, std::uint32_t p) {
    Malformed(kind, p);
    return {InnerMarkup::kMalformed, scanner_.next};
  }

  // One piece of markup inside a document type declaration, from its "<": a markup declaration
  // (`<!ENTITY ...>`, `<!ELEMENT ...>`, ...), a comment or a processing instruction.
  InnerMarkup ReadInnerMarkup(std::uint32_t opened) {
    const std::uint32_t p = opened + 1;
    if (p >= end_) {
      return Closed(kNotFound);
    }
    if (text_[p] == u'?') {
      return Closed(DelimiterEnd(p + 1, opened, u"?>"));
    }
    if (text_[p] != u'!') {
      return MalformedInside(u"doctype_tag_syntax", p);
    }
    if (p + 1 >= end_) {
      return Closed(kNotFound);
    }
    const char16_t unit = text_[p + 1];
    if (IsMarkupDeclarationStart(unit)) {
      return Closed(DeclarationEnd(p + 2));
    }
    if (unit != u'-') {
      return MalformedInside(u"doctype_tag_syntax", p + 1);
    }
    if (p + 2 >= end_) {
      return Closed(kNotFound);
    }
    if (text_[p + 2] != u'-') {
      return MalformedInside(u"comment_tag_syntax", p + 2);
    }
    return Closed(DelimiterEnd(p + 3, opened, u"-->"));
  }

  // Records the syntax error and reads on from the unit at fault up to the next ">" outside a
  // quoted value (included) or the next "<" (excluded).
  int Malformed(std::u16string_view kind, std::uint32_t p) {
    CXmlNavigator::AddResult(token_.errors, kind, std::nullopt, 0, start_, -1);
    QuotedValues values;
    for (; p < end_; ++p) {
      const char16_t unit = text_[p];
      if (unit == u'<') {
        return Finish(TOKEN_MALFORMED, p);
      }
      if (!values.Consume(unit, text_[p - 1]) && unit == u'>') {
        return Finish(TOKEN_MALFORMED, p + 1);
      }
    }
    return Finish(TOKEN_MALFORMED, end_);
  }

  int Unterminated(const char16_t* type) {
    CXmlNavigator::AddResult(token_.errors, u"unterminated_tag_syntax", type,
                             CXmlNavigator::RESULT_TEXT_TYPE, start_, -1);
    return Finish(TOKEN_MALFORMED, end_);
  }

  TokenScanner& scanner_;
  TokenInfo& token_;
  const char16_t* text_;
  const std::uint32_t end_;
  const std::uint32_t start_;
};

std::uint32_t SkipSpace(const char16_t* text, std::uint32_t p, std::uint32_t end) {
  while (p < end && IsSpace(text[p])) {
    ++p;
  }
  return p;
}

// A word of a start tag for FindAttributeInTag.
struct TagWord {
  std::uint32_t first;     // of the word (inside the quotes for a quoted value)
  std::uint32_t pastLast;  // after the word's last unit
  std::uint32_t next;      // where scanning goes on
  bool quoted;
};

// Quoted values run to the same quote; other words to "=", white space, ">", "/" or "?" (a value
// after "=" only to white space or ">"). A delimiter at the start is a word of one unit.
TagWord ReadTagWord(const char16_t* text, std::uint32_t p, std::uint32_t end, bool afterEquals) {
  const char16_t first = text[p];
  if (IsQuote(first)) {
    std::uint32_t close = p + 1;
    while (close < end && text[close] != first) {
      ++close;
    }
    return {p + 1, close, close < end ? close + 1 : end, true};
  }
  const unsigned stops = kSpace | kGreater | (afterEquals ? 0 : kAttributeStop);
  std::uint32_t q = p + 1;
  if (!HasClass(first, stops)) {
    while (q < end && !HasClass(text[q], stops)) {
      ++q;
    }
  }
  return {p, q, q, false};
}

}  // namespace

int NextToken(TokenScanner& scanner, TokenInfo& token) {
  return Tokenizer(scanner, token).Run();
}

bool NextWord(TokenScanner& scanner) {
  scanner.next = SkipSpace(scanner.text, scanner.next, scanner.end);
  if (scanner.next >= scanner.end) {
    return false;
  }
  std::uint32_t p = scanner.next + 1;
  if (!EndsWord(scanner.text[scanner.next])) {
    while (p < scanner.end && !EndsWord(scanner.text[p])) {
      ++p;
    }
  }
  scanner.SetWord(scanner.next, p);
  scanner.next = p;
  return true;
}

bool MatchName(const TokenScanner& scanner, std::u16string_view name) {
  return WordMatchesName(scanner.Word(), name);
}

bool FindAttributeInTag(TokenScanner& scanner, std::u16string_view name) {
  const char16_t* text = scanner.text;
  const std::uint32_t end = scanner.end;
  const std::uint32_t scanStart = scanner.next;
  std::uint32_t p = SkipSpace(text, scanStart, end);
  if (p >= end) {
    scanner.next = p;
    return false;
  }
  p = ReadTagWord(text, p, end, false).next;  // the tag name
  bool wantedSeen = false;  // the wanted name was the last word, so far without a value
  bool afterEquals = false;
  TagWord wanted{};
  const auto answer = [&scanner](const TagWord& word) {
    scanner.SetWord(word.first, word.pastLast);
    scanner.next = word.next;
    scanner.flags = word.quoted ? scanner.flags | SCANNER_QUOTED : scanner.flags & ~SCANNER_QUOTED;
    return true;
  };
  for (;;) {
    const std::uint32_t spaceStart = p;
    p = SkipSpace(text, p, end);
    if (p >= end) {
      scanner.next = p;
      return false;
    }
    const TagWord word = ReadTagWord(text, p, end, afterEquals);
    p = word.next;
    const char16_t first = text[word.first];
    const bool single = word.pastLast - word.first == 1 && !word.quoted;
    if (single && (first == u'>' || (!afterEquals && (first == u'/' || first == u'?')))) {
      if (wantedSeen) {
        return answer(wanted);
      }
      scanner.next = spaceStart;
      return false;
    }
    if (afterEquals) {  // a value: the answer when it belongs to the wanted name
      afterEquals = false;
      if (wantedSeen) {
        return answer(word);
      }
      continue;
    }
    if (word.quoted) {  // a quoted word without "=" before it
      if (wantedSeen) {
        return answer(wanted);
      }
      continue;
    }
    if (single && first == u'=') {
      afterEquals = true;
      continue;
    }
    if (wantedSeen) {  // another name: the wanted one had no value
      return answer(wanted);
    }
    if (WordMatchesName({text + word.first, word.pastLast - word.first}, name)) {
      wantedSeen = true;
      wanted = word;
      scanner.nameOffset = word.first - scanStart;
    }
  }
}

}  // namespace vexo
