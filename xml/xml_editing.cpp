// Editing the document in place: a new element, an attribute set in a start tag, and the offset
// bookkeeping that keeps every record pointing at its text.
#include <string>

#include "xml/xml_escape.h"
#include "xml/xml_navigator.h"
#include "xml/xml_token.h"

namespace vexo {
namespace {

constexpr std::uint32_t kNoContent = UINT32_MAX;

std::u16string_view OrEmpty(const char16_t* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

}  // namespace

bool CXmlNavigator::AddElement(const char16_t* name, const char16_t* text, unsigned options) {
  if (name == nullptr) {
    return false;
  }
  return AddElementText(name, text ? std::optional(OrEmpty(text)) : std::nullopt, options);
}

bool CXmlNavigator::SetAttribute(int index, const char16_t* name, const char16_t* value,
                                 unsigned options) {
  if (name == nullptr) {
    return false;
  }
  return SetAttributeText(index, name, OrEmpty(value), options);
}

// Where new content of `parent` goes: before its end tag, or at the end of the document. An
// element without end tag has no content to add to.
std::uint32_t CXmlNavigator::ContentEnd(std::uint32_t parent) const {
  if (parent == 0) {
    return static_cast<std::uint32_t>(text_.size());
  }
  const ElementPosition& element = At(parent);
  if (element.EndTagLength() == 0) {
    return kNoContent;
  }
  return element.start + element.length - element.EndTagLength();
}

// New elements are written as one piece, without line breaks around them (the only form the
// result records use, whatever the options).
bool CXmlNavigator::AddElementText(std::u16string_view name,
                                   std::optional<std::u16string_view> text, unsigned options) {
  if (name.empty() || positions_.Capacity() == 0) {
    return false;
  }
  std::u16string element = u"<";
  element += name;
  std::uint32_t startTag = 0;
  std::uint32_t endTag = 0;
  if (text) {
    element += u">";
    element += EscapeText(*text, options);
    element += u"</";
    element += name;
    element += u">";
    startTag = static_cast<std::uint32_t>(name.size() + 2);
    endTag = static_cast<std::uint32_t>(name.size() + 3);
  } else {
    element += u"/>";
    startTag = static_cast<std::uint32_t>(element.size());
  }
  const std::uint32_t parent = parentPos_;
  const std::uint32_t previous = nodeType_ == 1 ? currentPos_ : 0;
  const std::uint32_t insertAt =
      previous != 0 ? At(previous).start + At(previous).length : ContentEnd(parent);
  const std::uint32_t level = parent == 0 ? 0 : At(parent).Level() + 1;
  if (insertAt == kNoContent || level > kMaxLevel || startTag > kMaxStartTagLength ||
      endTag > kMaxEndTagLength || text_.size() + element.size() > UINT32_MAX - 1) {
    return false;
  }
  const std::uint32_t added = NewPosition();
  if (added == 0) {
    return false;
  }
  ElementPosition& record = At(added);
  record.start = insertAt;
  record.length = static_cast<std::uint32_t>(element.size());
  record.SetTagLengths(startTag, endTag);
  record.SetLevel(level);
  LinkAfter(parent, previous, added);
  ReplaceRange(insertAt, 0, element);
  AdjustOffsets(added, static_cast<std::int64_t>(element.size()));
  SetPosition(parent, added, 0);
  return true;
}

// Links `added` among the children of `parent`: after `previous`, or last when it is 0.
void CXmlNavigator::LinkAfter(std::uint32_t parent, std::uint32_t previous, std::uint32_t added) {
  const std::uint32_t first = At(parent).firstChild;
  if (previous == 0 && first != 0) {
    previous = At(first).prevSibling;
  }
  ElementPosition& record = At(added);
  record.parent = parent;
  if (previous == 0) {
    At(parent).firstChild = added;
    record.prevSibling = added;
    record.nextSibling = 0;
    record.Set(EP_FIRST_CHILD);
    return;
  }
  const std::uint32_t next = At(previous).nextSibling;
  record.prevSibling = previous;
  record.nextSibling = next;
  At(previous).nextSibling = added;
  At(next != 0 ? next : first).prevSibling = added;
}

bool CXmlNavigator::SetAttributeText(int index, std::u16string_view name, std::u16string_view value,
                                     unsigned options) {
  if (!IsElement(index) || nodeType_ != 1 || name.empty()) {
    return false;
  }
  const auto edited = static_cast<std::uint32_t>(index);
  std::u16string quoted = u"\"";
  quoted += EscapeText(value, options | ESCAPE_QUOTES);
  quoted += u'"';
  const std::u16string_view tag = TagText(edited);
  const std::uint32_t scanStart = At(edited).start + 1;
  TokenScanner scanner(tag, scanStart);
  std::uint32_t offset = 0;
  std::uint32_t count = 0;
  std::u16string replacement;
  if (!FindAttributeInTag(scanner, name)) {
    // After the tag's last word; when the scan ran off the tag, before its closing ">" or "/>".
    offset = scanner.next;
    if (offset >= tag.size()) {
      offset = static_cast<std::uint32_t>(tag.size()) - 1;
      offset -= tag[offset - 1] == u'/' ? 1 : 0;
    }
    replacement.append(1, u' ').append(name).append(1, u'=').append(quoted);
  } else if (scanner.wordStart == scanStart + scanner.nameOffset) {
    // An attribute without value gets one.
    offset = scanner.wordEnd + 1;
    replacement.append(1, u'=').append(quoted);
  } else {
    offset = scanner.wordStart;
    count = scanner.WordLength();
    if (scanner.flags & SCANNER_QUOTED) {
      const bool closed = scanner.wordEnd + 1 < tag.size();
      offset -= 1;
      count += closed ? 2 : 1;
    }
    replacement = quoted;
  }
  const std::int64_t delta = static_cast<std::int64_t>(replacement.size()) - count;
  if (At(edited).StartTagLength() + delta > kMaxStartTagLength ||
      text_.size() + delta > UINT32_MAX - 1) {
    return false;
  }
  ReplaceRange(offset, count, replacement);
  ElementPosition& record = At(edited);
  record.SetTagLengths(static_cast<std::uint32_t>(record.StartTagLength() + delta),
                       record.EndTagLength());
  record.length = static_cast<std::uint32_t>(record.length + delta);
  AdjustOffsets(edited, delta);
  return true;
}

void CXmlNavigator::ReplaceRange(std::uint32_t offset, std::uint32_t count,
                                 std::u16string_view replacement) {
  attributesOf_ = 0;
  const std::size_t needed = text_.size() - count + replacement.size();
  if (needed > text_.capacity()) {
    text_.reserve(needed + needed / 2 + 128);
  }
  text_.replace(offset, count, replacement);
}

// Moves every record after `index` in document order by `delta` and grows the enclosing elements
// and the document by it. Iterative: nesting may be deep.
void CXmlNavigator::AdjustOffsets(std::uint32_t index, std::int64_t delta) {
  const auto shift = [delta](std::uint32_t& value) {
    value = static_cast<std::uint32_t>(value + delta);
  };
  // Records from `first` on, its following siblings and all their descendants, below `stop`.
  const auto shiftFrom = [&](std::uint32_t first, std::uint32_t stop) {
    std::uint32_t node = first;
    while (node != 0) {
      shift(At(node).start);
      if (At(node).firstChild != 0) {
        node = At(node).firstChild;
        continue;
      }
      while (node != 0 && At(node).nextSibling == 0) {
        node = At(node).parent;
        node = node == stop ? 0 : node;
      }
      node = node != 0 ? At(node).nextSibling : 0;
    }
  };
  shiftFrom(At(index).firstChild, index);
  for (std::uint32_t node = index; node != 0; node = At(node).parent) {
    shiftFrom(At(node).nextSibling, At(node).parent);
    if (At(node).parent != 0) {
      shift(At(At(node).parent).length);
    }
  }
  shift(At(0).length);
}

}  // namespace vexo
