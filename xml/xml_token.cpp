// The tokenizer: one token per call, with the error records of malformed markup.
#include "xml/xml_token.h"

#include <array>

#include "xml/xml_escape.h"
#include "xml/xml_navigator.h"

namespace vexo {
namespace {

constexpr std::uint32_t kNotFound = UINT32_MAX;

// Classes of the units below 0x60, where every delimiter lies, looked up in the scanners' inner
// loops.
enum UnitClass : std::uint8_t {
  kSpace = 0x1,          // space, tab, LF, CR
  kGreater = 0x2,        // ">"
  kAttributeStop = 0x4,  // "=", "/", "?": end an attribute name, not a value
  kWordDelimiter = 0x8,  // the delimiters of NextWord
  kTagNameStop = 0x10,   // "/"; with kSpace and kGreater it ends a tag name
};

constexpr std::array<std::uint8_t, 0x60> kUnitClasses = [] {
  std::array<std::uint8_t, 0x60> classes{};
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
  if (word.size() > name.size() ||
      (word.size() < name.size() && !FollowsMatchedName(name[word.size()]))) {
    return false;
  }
  return name.substr(0, word.size()) == word;
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

  // The quote of the value being read, or 0 outside values.
  char16_t Quote() const { return quote_; }

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
        if (values.Quote() != 0) {  // only the same quote ends the value: on to it
          p = static_cast<std::uint32_t>(FindUnit(text_, p + 1, end_, values.Quote())) - 1;
        }
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

// A word of a start tag.
struct TagWord {
  std::uint32_t first;     // of the word (inside the quotes for a quoted value)
  std::uint32_t pastLast;  // after the word's last unit
  std::uint32_t next;      // where scanning goes on
  bool quoted;
};

TagWord ReadQuotedWord(const char16_t* text, std::uint32_t p, std::uint32_t end) {
  const auto close = static_cast<std::uint32_t>(FindUnit(text, p + 1, end, text[p]));
  return {p + 1, close, close < end ? close + 1 : end, true};
}

std::uint32_t SkipUnclassed(const char16_t* text, std::uint32_t p, std::uint32_t end,
                            unsigned stops) {
  while (p < end && !HasClass(text[p], stops)) {
    ++p;
  }
  return p;
}

constexpr unsigned kNameStops = kSpace | kGreater | kAttributeStop;

// Quoted values run to the same quote; other words to "=", white space, ">", "/" or "?" (a value
// after "=" only to white space or ">"). A delimiter at the start is a word of one unit.
TagWord ReadTagWord(const char16_t* text, std::uint32_t p, std::uint32_t end, bool afterEquals) {
  const char16_t first = text[p];
  if (IsQuote(first)) {
    return ReadQuotedWord(text, p, end);
  }
  const unsigned stops = afterEquals ? kSpace | kGreater : kNameStops;
  const std::uint32_t q = HasClass(first, stops) ? p + 1 : SkipUnclassed(text, p + 1, end, stops);
  return {p, q, q, false};
}

bool IsSingle(const TagWord& word, char16_t unit, const char16_t* text) {
  return !word.quoted && word.pastLast - word.first == 1 && text[word.first] == unit;
}

// ">" ends the tag; so do "/" and "?" where a name is expected.
bool EndsTag(const TagWord& word, bool afterEquals, const char16_t* text) {
  return IsSingle(word, u'>', text) ||
         (!afterEquals && (IsSingle(word, u'/', text) || IsSingle(word, u'?', text)));
}

// `name="value"` or `name='value'` from `p`, the form nearly every attribute takes: its name and
// value are the three words ReadTagWord would give one by one (name, "=", quoted value), after
// which a scan is back where it started, expecting a name. False for any other form.
bool ReadQuotedAttribute(const char16_t* text, std::uint32_t p, std::uint32_t end,
                         std::uint32_t& nameEnd, TagWord& value) {
  if (IsQuote(text[p]) || HasClass(text[p], kNameStops)) {
    return false;
  }
  nameEnd = SkipUnclassed(text, p + 1, end, kNameStops);
  if (end - nameEnd < 2 || text[nameEnd] != u'=' || !IsQuote(text[nameEnd + 1])) {
    return false;
  }
  value = ReadQuotedWord(text, nameEnd + 1, end);
  return true;
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

TagAttributeReader::TagAttributeReader(std::u16string_view tag, std::uint32_t from)
    : text_(tag.data()), end_(static_cast<std::uint32_t>(tag.size())), done_(false) {
  next_ = SkipSpace(text_, from, end_);
  if (next_ >= end_) {
    Stop(next_);
    return;
  }
  next_ = ReadTagWord(text_, next_, end_, false).next;  // the tag name
}

bool TagAttributeReader::Stop(std::uint32_t stop) {
  done_ = true;
  next_ = stop;
  return false;
}

// Skips values, quoted words and "=" up to the next name.
bool TagAttributeReader::Next(TagAttribute& attribute) {
  if (done_) {
    return false;
  }
  for (;;) {
    const std::uint32_t spaceStart = next_;
    const std::uint32_t p = SkipSpace(text_, next_, end_);
    if (p >= end_) {
      return Stop(p);
    }
    std::uint32_t nameEnd = 0;
    TagWord value{};
    if (!afterEquals_ && ReadQuotedAttribute(text_, p, end_, nameEnd, value)) {
      attribute = {p, nameEnd, true, value.first, value.pastLast, value.next, true};
      next_ = value.next;
      return true;
    }
    const TagWord word = ReadTagWord(text_, p, end_, afterEquals_);
    next_ = word.next;
    if (EndsTag(word, afterEquals_, text_)) {
      return Stop(spaceStart);
    }
    if (afterEquals_) {
      afterEquals_ = false;
    } else if (IsSingle(word, u'=', text_)) {
      afterEquals_ = true;
    } else if (!word.quoted) {
      attribute = {word.first,    word.pastLast, true, word.first,
                   word.pastLast, word.pastLast, false};
      ReadAnswer(attribute);
      return true;
    }
  }
}

// After a name: the value when "=" follows, else the name itself. The words read past the answer
// are left for the next call.
void TagAttributeReader::ReadAnswer(TagAttribute& attribute) {
  for (;;) {
    const std::uint32_t spaceStart = next_;
    const std::uint32_t p = SkipSpace(text_, next_, end_);
    if (p >= end_) {
      attribute.answered = false;
      Stop(p);
      return;
    }
    const TagWord word = ReadTagWord(text_, p, end_, afterEquals_);
    if (EndsTag(word, afterEquals_, text_)) {
      Stop(spaceStart);
      return;
    }
    if (afterEquals_) {
      afterEquals_ = false;
      attribute.answerFirst = word.first;
      attribute.answerPastLast = word.pastLast;
      attribute.next = word.next;
      attribute.quoted = word.quoted;
      next_ = word.next;
      return;
    }
    if (word.quoted) {  // a quoted word without "=" before it
      next_ = word.next;
      return;
    }
    if (!IsSingle(word, u'=', text_)) {
      return;  // another name, read again by the next call
    }
    afterEquals_ = true;
    next_ = word.next;
  }
}

const TagAttribute* TagAttributes::Find(std::u16string_view name) {
  for (const TagAttribute& kept : kept_) {
    if (WordMatchesName(kept.Name(text_), name)) {
      return &kept;
    }
  }
  while (kept_.size() < kMaxKept) {
    TagAttribute& attribute = kept_.emplace_back();
    if (!reader_.Next(attribute)) {
      kept_.pop_back();
      return nullptr;
    }
    if (WordMatchesName(attribute.Name(text_), name)) {
      return &attribute;
    }
  }
  TagAttributeReader reader = reader_;
  while (reader.Next(beyondKept_)) {
    if (WordMatchesName(beyondKept_.Name(text_), name)) {
      return &beyondKept_;
    }
  }
  return nullptr;
}

bool FindAttributeInTag(TokenScanner& scanner, std::u16string_view name) {
  const std::uint32_t scanStart = scanner.next;
  TagAttributeReader reader({scanner.text, scanner.end}, scanStart);
  TagAttribute attribute;
  while (reader.Next(attribute)) {
    if (!WordMatchesName(attribute.Name(scanner.text), name)) {
      continue;
    }
    scanner.nameOffset = attribute.nameFirst - scanStart;
    if (!attribute.answered) {
      break;
    }
    scanner.SetWord(attribute.answerFirst, attribute.answerPastLast);
    scanner.next = attribute.next;
    scanner.flags =
        attribute.quoted ? scanner.flags | SCANNER_QUOTED : scanner.flags & ~SCANNER_QUOTED;
    return true;
  }
  scanner.next = reader.StoppedAt();
  return false;
}

}  // namespace vexo
