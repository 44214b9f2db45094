// The parser: element records built from the tokens, with recovery from lone end tags, unended
// start tags and malformed markup, and the result records that report them.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "xml/xml_navigator.h"
#include "xml/xml_token.h"

namespace vexo {
namespace {

// Offsets and lengths are 32-bit, and an end offset must fit as well.
constexpr std::size_t kMaxDocumentLength = UINT32_MAX - 1;

// The open start tags, entry 0 standing for the record the parse started from. Names are kept as
// ranges of the document text, not copied. An end tag can only match a name whose part before
// any "=", "[" or "]" equals its own, so entries are also chained by a hash of that part: a search
// visits only the entries that may match, still from the top down.
class TagNameStack {
 public:
  struct Entry {
    std::uint32_t nameStart = 0;
    std::uint32_t nameLength = 0;
    std::uint32_t record = 0;
    std::uint32_t bucket = 0;
    std::uint32_t sameBucketBelow = 0;  // depth of the next entry down in the bucket, 0: none
  };

  explicit TagNameStack(std::uint32_t root) : entries_(kInitialRoom) { entries_[0].record = root; }

  std::uint32_t Top() const { return top_; }
  const Entry& operator[](std::uint32_t depth) const { return entries_[depth]; }

  void Push(std::u16string_view text, std::uint32_t nameStart, std::uint32_t nameLength,
            std::uint32_t record) {
    if (top_ + 1 == entries_.size()) {
      entries_.resize(entries_.size() * 2);
    }
    const std::uint32_t bucket = BucketOf(text.substr(nameStart, nameLength));
    entries_[++top_] = {nameStart, nameLength, record, bucket, heads_[bucket]};
    heads_[bucket] = top_;
  }

  void PopTo(std::uint32_t depth) {
    for (; top_ > depth; --top_) {
      heads_[entries_[top_].bucket] = entries_[top_].sameBucketBelow;
    }
  }

  // The topmost depth whose name `matches` accepts among those that `word` may match, or 0.
  template <typename Matches>
  std::uint32_t FindFromTop(std::u16string_view word, Matches matches) const {
    for (std::uint32_t depth = heads_[BucketOf(word)]; depth != 0;
         depth = entries_[depth].sameBucketBelow) {
      if (matches(entries_[depth])) {
        return depth;
      }
    }
    return 0;
  }

 private:
  static constexpr std::size_t kInitialRoom = 7;
  static constexpr std::uint32_t kBuckets = 256;

  static std::uint32_t BucketOf(std::u16string_view name) {
    std::uint32_t hash = 2166136261u;
    for (char16_t unit : name) {
      if (unit == u'=' || unit == u'[' || unit == u']') {
        break;
      }
      hash = (hash ^ unit) * 16777619u;
    }
    return hash % kBuckets;
  }

  std::vector<Entry> entries_;
  std::array<std::uint32_t, kBuckets> heads_{};
  std::uint32_t top_ = 0;
};

std::u16string Decimal(std::int64_t number) {
  const std::string digits = std::to_string(number);
  return {digits.begin(), digits.end()};
}

std::u16string_view TextAttributeName(unsigned options) {
  if (options & CXmlNavigator::RESULT_TEXT_TYPE) {
    return u"type";
  }
  if (options & CXmlNavigator::RESULT_TEXT_ENCODING) {
    return u"encoding";
  }
  if (options & CXmlNavigator::RESULT_TEXT_MSG) {
    return u"msg";
  }
  return u"tagname";
}

std::u16string_view NumberAttributeName(unsigned options) {
  if (options & CXmlNavigator::RESULT_NUMBER_N) {
    return u"n";
  }
  if (options & CXmlNavigator::RESULT_NUMBER_COUNT) {
    return u"count";
  }
  if (options & CXmlNavigator::RESULT_NUMBER_LENGTH) {
    return u"length";
  }
  return u"offset";
}

}  // namespace

class CXmlNavigator::Parser {
 public:
  Parser(CXmlNavigator& document, std::uint32_t root)
      : doc_(document),
        text_(document.text_),
        root_(root),
        open_(root),
        baseLevel_(document.At(root).Level()),
        stack_(root),
        scanner_(text_, 0) {}

  // Returns the first element created, or 0.
  std::uint32_t Run() {
    for (;;) {
      switch (NextToken(scanner_, token_)) {
        case NODE_ELEMENT:
          OnStartTag();
          break;
        case NODE_END_TAG:
          OnEndTag();
          break;
        case TOKEN_MALFORMED:
          OnMalformed();
          break;
        case TOKEN_END_OF_TEXT:
          CloseUnended(0, static_cast<std::uint32_t>(text_.size()));
          return first_;
        default:
          break;  // text, white space, CDATA, comments, instructions, document type
      }
      if (outOfMemory_) {
        doc_.At(root_).Set(EP_ERROR_BELOW);
        CloseUnended(0, static_cast<std::uint32_t>(text_.size()));
        return first_;
      }
    }
  }

 private:
  ElementPosition& At(std::uint32_t index) { return doc_.At(index); }

  std::u16string_view NameOf(const TagNameStack::Entry& entry) const {
    return text_.substr(entry.nameStart, entry.nameLength);
  }

  void MarkError() {
    At(root_).Set(EP_ERROR_BELOW);
    At(open_).Set(EP_ERROR);
  }

  void AddResult(std::u16string_view kind, std::optional<std::u16string_view> text,
                 unsigned options, std::int64_t number, std::int64_t number2) {
    CXmlNavigator::AddResult(doc_.parseResult_, kind, text, options, number, number2);
  }

  // A tag or a nesting depth that the record's fields cannot hold is refused as a whole.
  void Refuse(std::u16string_view kind, std::optional<std::u16string_view> type) {
    MarkError();
    AddResult(kind, type, type ? RESULT_TEXT_TYPE : 0, token_.start, -1);
  }

  void OnStartTag() {
    if (token_.length > kMaxStartTagLength) {
      Refuse(u"tag_too_long", u"start_tag");
      return;
    }
    const std::uint32_t level = stack_.Top() + baseLevel_;
    if (level > kMaxLevel) {
      Refuse(u"nesting_too_deep", std::nullopt);
      return;
    }
    const std::uint32_t added = doc_.NewPosition();
    if (added == 0) {
      outOfMemory_ = true;
      return;
    }
    if (first_ == 0) {
      first_ = added;
    }
    AppendChild(open_, added);
    ElementPosition& element = At(added);
    element.SetLevel(level);
    element.start = token_.start;
    element.SetTagLengths(token_.length, 0);
    element.length = token_.length;
    if ((token_.flags & TOKEN_EMPTY_ELEMENT) == 0) {
      stack_.Push(text_, scanner_.wordStart, scanner_.WordLength(), added);
      open_ = added;
    }
  }

  void AppendChild(std::uint32_t parent, std::uint32_t added) {
    ElementPosition& element = At(added);
    element.parent = parent;
    const std::uint32_t first = At(parent).firstChild;
    if (first != 0) {
      const std::uint32_t last = At(first).prevSibling;
      At(last).nextSibling = added;
      element.prevSibling = last;
      At(first).prevSibling = added;
    } else {
      At(parent).firstChild = added;
      element.prevSibling = added;
      element.Set(EP_FIRST_CHILD);
    }
  }

  void OnEndTag() {
    if (token_.length > kMaxEndTagLength) {
      Refuse(u"tag_too_long", u"end_tag");
      return;
    }
    const std::uint32_t depth = stack_.FindFromTop(
        scanner_.Word(),
        [this](const TagNameStack::Entry& entry) { return MatchName(scanner_, NameOf(entry)); });
    if (depth != 0) {
      Close(depth);
      return;
    }
    MarkError();
    AddResult(u"lone_end_tag", scanner_.Word(), 0, token_.start, -1);
  }

  void Close(std::uint32_t depth) {
    const std::uint32_t closed = stack_[depth].record;
    ElementPosition& element = At(closed);
    element.length = token_.start + token_.length - element.start;
    element.SetTagLengths(element.StartTagLength(), token_.length);
    CloseUnended(depth, token_.start + 1);
    open_ = At(closed).parent;
    stack_.PopTo(depth - 1);
  }

  void OnMalformed() {
    MarkError();
    if (doc_.parseResult_.size() <= kMaxResultLength) {
      doc_.parseResult_ += token_.errors;
    }
    token_.errors.clear();
  }

  // Closes the open elements above `depth` as unended, innermost first: each keeps only its start
  // tag, and its children follow it as siblings. All of them land in the element at `depth`, so
  // every record moves at most once in a parse.
  void CloseUnended(std::uint32_t depth, std::uint32_t offset2) {
    const std::uint32_t target = stack_[depth].record;
    bool errorMoves = false;
    for (std::uint32_t k = stack_.Top(); k > depth; --k) {
      ElementPosition& element = At(stack_[k].record);
      At(root_).Set(EP_ERROR_BELOW);
      element.SetTagLengths(element.StartTagLength(), 0);
      element.length = element.StartTagLength();
      element.Set(EP_NO_END_TAG);
      errorMoves = errorMoves || element.Has(EP_ERROR);
      element.Clear(EP_ERROR);
      AddResult(u"unended_start_tag", NameOf(stack_[k]), 0, element.start, offset2);
    }
    if (errorMoves) {
      At(target).Set(EP_ERROR);
    }
    for (std::uint32_t k = depth + 1; k <= stack_.Top(); ++k) {
      MoveChildren(stack_[k].record, target);
    }
    stack_.PopTo(depth);
    open_ = target;
  }

  // Appends the children of `from` to the children of `to`.
  void MoveChildren(std::uint32_t from, std::uint32_t to) {
    const std::uint32_t first = At(from).firstChild;
    if (first == 0) {
      return;
    }
    const std::uint32_t last = At(first).prevSibling;
    const std::uint32_t targetFirst = At(to).firstChild;  // never 0: `from` is among them
    const std::uint32_t targetLast = At(targetFirst).prevSibling;
    At(targetLast).nextSibling = first;
    At(first).prevSibling = targetLast;
    At(first).Clear(EP_FIRST_CHILD);
    At(targetFirst).prevSibling = last;
    for (std::uint32_t child = first; child != 0; child = At(child).nextSibling) {
      At(child).parent = to;
    }
    At(from).firstChild = 0;
  }

  CXmlNavigator& doc_;
  const std::u16string_view text_;
  const std::uint32_t root_;
  std::uint32_t open_;
  const std::uint32_t baseLevel_;
  std::uint32_t first_ = 0;
  bool outOfMemory_ = false;
  TagNameStack stack_;
  TokenScanner scanner_;
  TokenInfo token_;
};

bool CXmlNavigator::GrowPositions(std::uint32_t wanted) {
  std::uint64_t target = wanted;
  if (target == 0) {
    target = std::uint64_t{nextFreePos_} + nextFreePos_ / 2;
  }
  target = std::min<std::uint64_t>(target, UINT32_MAX);
  if (positions_.Capacity() >= target) {
    return true;
  }
  return positions_.Grow(static_cast<std::uint32_t>(target));
}

std::uint32_t CXmlNavigator::NewPosition() {
  if (nextFreePos_ == positions_.Capacity()) {
    GrowPositions(0);
    if (nextFreePos_ >= positions_.Capacity()) {
      return 0;
    }
  }
  At(nextFreePos_) = ElementPosition{};
  return nextFreePos_++;
}

bool CXmlNavigator::ParseDocument() {
  attributesOf_ = 0;
  SetPosition(0, 0, 0);
  nextFreePos_ = 1;
  const auto length = static_cast<std::uint32_t>(std::min(text_.size(), kMaxDocumentLength));
  GrowPositions(length / 64 + 8);
  if (positions_.Capacity() == 0) {
    return false;
  }
  freeListHead_ = 0;
  At(0) = ElementPosition{};
  if (text_.size() > kMaxDocumentLength) {
    At(0).Set(EP_ERROR_BELOW);
    AddResult(parseResult_, u"document_too_long", std::nullopt, 0, -1, -1);
  } else if (!text_.empty()) {
    const std::uint32_t first = Parser(*this, 0).Run();
    At(0).length = length;
    if (first == 0) {
      AddResult(parseResult_, u"no_root_element", std::nullopt, 0, -1, -1);
    } else {
      At(0).firstChild = first;
      if (At(first).nextSibling != 0) {
        AddResult(parseResult_, u"root_has_sibling", std::nullopt, 0, -1, -1);
      }
    }
  }
  SetPosition(0, 0, 0);
  return IsWellFormed();
}

bool CXmlNavigator::IsWellFormed() const {
  if (positions_.Capacity() == 0) {
    return false;
  }
  const ElementPosition& document = At(0);
  return !document.Has(EP_ERROR_BELOW) && document.firstChild != 0 &&
         At(document.firstChild).nextSibling == 0;
}

void CXmlNavigator::AddResult(std::u16string& result, std::u16string_view kind,
                              std::optional<std::u16string_view> text, unsigned options,
                              std::int64_t number, std::int64_t number2) {
  if (result.size() > kMaxResultLength) {
    return;
  }
  // The record is written the way any element is added to a document, so that it reads back as
  // one: into a navigator holding the records so far.
  CXmlNavigator records;
  records.ParseText(std::move(result));
  if (records.AddElementText(kind, std::nullopt, ADD_NO_LINE_BREAKS)) {
    const int added = records.CurrentPos();
    if (text) {
      records.SetAttributeText(added, TextAttributeName(options), *text, 0);
    }
    const std::u16string_view numberName = NumberAttributeName(options);
    if (number != -1 || numberName != u"offset") {
      records.SetAttributeText(added, numberName, Decimal(number), 0);
    }
    if (number2 != -1) {
      records.SetAttributeText(added, u"offset2", Decimal(number2), 0);
    }
  }
  result = std::move(records.text_);
}

}  // namespace vexo
