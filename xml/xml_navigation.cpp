// Loading a text, stepping between elements, and reading attribute values and element text.
#include <string>

#include "xml/xml_escape.h"
#include "xml/xml_navigator.h"
#include "xml/xml_token.h"

namespace vexo {
namespace {

// The name string of FindElement: "" or none (form 0) steps to the next element; a name, with an
// optional predicate and further steps that are checked but not used, finds the next element of
// that name (form 1). Absolute paths ("/r", form 2; "//r", form 3) and strings that fail the
// check (form -1) find nothing.
struct PathQuery {
  std::u16string_view path;
  int form = 0;
  std::size_t nameOffset = 0;
};

bool EndsPathName(char16_t unit) {
  return unit == u' ' || unit == u'=' || unit == u'/' || unit == u'[' || unit == u']';
}

// Reads a name at `i`; false when there is none.
bool ReadPathName(std::u16string_view path, std::size_t& i) {
  const std::size_t first = i;
  while (i < path.size() && !EndsPathName(path[i])) {
    ++i;
  }
  return i > first;
}

// "[1]", "[@attr]", "[@attr='v']", "[@attr=v]" or "[child]", from its "[".
bool ReadPredicate(std::u16string_view path, std::size_t& i) {
  ++i;
  if (i < path.size() && path[i] >= u'1' && path[i] <= u'9') {
    while (i < path.size() && path[i] >= u'0' && path[i] <= u'9') {
      ++i;
    }
  } else if (i < path.size() && path[i] == u'@') {
    ++i;
    if (!ReadPathName(path, i)) {
      return false;
    }
    if (i < path.size() && path[i] == u'=') {
      ++i;
      if (i < path.size() && (path[i] == u'\'' || path[i] == u'"')) {
        const std::size_t close = path.find(path[i], i + 1);
        if (close == std::u16string_view::npos) {
          return false;
        }
        i = close + 1;
      } else {
        while (i < path.size() && path[i] != u']') {
          ++i;
        }
      }
    }
  } else if (!ReadPathName(path, i)) {
    return false;
  }
  if (i >= path.size() || path[i] != u']') {
    return false;
  }
  ++i;
  return true;
}

// Steps separated by "/"; the last one may be "@attr". `singleStep` for "//" paths.
bool CheckPathSyntax(std::u16string_view path, std::size_t i, bool singleStep) {
  for (int steps = 1;; ++steps) {
    if (singleStep && steps > 1) {
      return false;
    }
    if (i < path.size() && path[i] == u'@') {
      ++i;
      return ReadPathName(path, i) && i == path.size();
    }
    if (!ReadPathName(path, i)) {
      return false;
    }
    if (i < path.size() && path[i] == u'[' && !ReadPredicate(path, i)) {
      return false;
    }
    if (i == path.size()) {
      return true;
    }
    if (path[i] != u'/' || ++i == path.size()) {
      return false;
    }
  }
}

PathQuery ParsePath(const char16_t* name) {
  PathQuery query;
  if (name == nullptr || *name == 0) {
    return query;
  }
  query.path = name;
  if (query.path.substr(0, 2) == u"//") {
    query.form = 3;
    query.nameOffset = 2;
  } else if (query.path.front() == u'/') {
    query.form = 2;
    query.nameOffset = 1;
  } else {
    query.form = 1;
  }
  if (!CheckPathSyntax(query.path, query.nameOffset, query.form == 3)) {
    query.form = -1;
  }
  return query;
}

}  // namespace

CXmlNavigator::CXmlNavigator() {
  ParseText();
}

CXmlNavigator::CXmlNavigator(std::u16string text) {
  ParseText(std::move(text));
}

CXmlNavigator::~CXmlNavigator() = default;

bool CXmlNavigator::ParseText() {
  std::u16string().swap(text_);
  positions_.Release();
  parseResult_.clear();
  return ParseDocument();
}

bool CXmlNavigator::ParseText(const std::u16string& text) {
  text_ = text;
  parseResult_.clear();
  return ParseDocument();
}

bool CXmlNavigator::ParseText(std::u16string&& text) {
  text_ = std::move(text);
  parseResult_.clear();
  return ParseDocument();
}

bool CXmlNavigator::ParseText(const char16_t* text) {
  return text == nullptr ? ParseText() : ParseText(std::u16string(text));
}

void CXmlNavigator::SetPosition(std::uint32_t parent, std::uint32_t current, std::uint32_t child) {
  nodeOffset_ = 0;
  nodeLength_ = 0;
  parentPos_ = parent;
  currentPos_ = current;
  childPos_ = child;
  nodeType_ = current != 0 ? 1 : 0;
}

bool CXmlNavigator::IsElement(int index) const {
  return index > 0 && static_cast<std::uint32_t>(index) < nextFreePos_ &&
         positions_.Capacity() != 0 && !At(static_cast<std::uint32_t>(index)).Has(EP_FREE);
}

const ElementPosition* CXmlNavigator::Position(int index) const {
  if (index < 0 || static_cast<std::uint32_t>(index) >= nextFreePos_ ||
      positions_.Capacity() == 0) {
    return nullptr;
  }
  return &At(static_cast<std::uint32_t>(index));
}

std::u16string_view CXmlNavigator::TagText(std::uint32_t index) const {
  const ElementPosition& element = At(index);
  return std::u16string_view(text_).substr(0, element.start + element.StartTagLength());
}

bool CXmlNavigator::FindElement(const char16_t* name) {
  if (positions_.Capacity() == 0) {
    return false;
  }
  const PathQuery query = ParsePath(name);
  if (query.form != 0 && query.form != 1) {
    return false;
  }
  std::uint32_t candidate =
      currentPos_ != 0 ? At(currentPos_).nextSibling : At(parentPos_).firstChild;
  if (query.form == 1) {
    for (; candidate != 0; candidate = At(candidate).nextSibling) {
      TokenScanner scanner(text_, At(candidate).start + 1);
      if (NextWord(scanner) && MatchName(scanner, query.path)) {
        break;
      }
    }
  }
  if (candidate == 0) {
    return false;
  }
  SetPosition(At(candidate).parent, candidate, 0);
  return true;
}

bool CXmlNavigator::EnterElement() {
  if (currentPos_ == 0 || nodeType_ != 1) {
    return false;
  }
  SetPosition(currentPos_, childPos_, 0);
  return true;
}

bool CXmlNavigator::LeaveElement() {
  if (parentPos_ == 0) {
    return false;
  }
  SetPosition(At(parentPos_).parent, parentPos_, currentPos_);
  return true;
}

std::u16string CXmlNavigator::GetAttribute(int index, const char16_t* name) const {
  if (!IsElement(index) || nodeType_ != 1 || name == nullptr) {
    return {};
  }
  const auto element = static_cast<std::uint32_t>(index);
  if (!attributes_) {
    attributes_ = std::make_unique<TagAttributes>();
  }
  if (attributesOf_ != element) {
    // The scan stays within the start tag, whatever its quotes.
    attributes_->Read(TagText(element), At(element).start + 1);
    attributesOf_ = element;
  }
  const TagAttribute* found = attributes_->Find(name);
  if (found == nullptr || !found->answered) {
    return {};
  }
  return UnescapeText(found->Answer(text_.data()));
}

std::u16string CXmlNavigator::GetElementData(int index) const {
  if (!IsElement(index)) {
    return {};
  }
  const ElementPosition& element = At(static_cast<std::uint32_t>(index));
  const std::uint32_t tags = element.StartTagLength() + element.EndTagLength();
  if (element.length <= element.StartTagLength() || element.firstChild != 0 ||
      element.length < tags) {
    return {};
  }
  const std::uint32_t contentStart = element.start + element.StartTagLength();
  const std::uint32_t contentEnd = element.start + element.length - element.EndTagLength();
  const std::u16string_view content =
      std::u16string_view(text_).substr(contentStart, contentEnd - contentStart);
  if (content.find(u'<') == std::u16string_view::npos) {
    return UnescapeText(content);
  }
  // Text and CDATA sections count; comments, instructions and white space between them do not.
  // Text tokens end after every ">", so white space right after a text token is the rest of the
  // same text and is kept.
  constexpr std::uint32_t kCdataOpening = 9;  // "<![CDATA["
  constexpr std::uint32_t kCdataClosing = 3;  // "]]>"
  std::u16string data;
  TokenScanner scanner(std::u16string_view(text_).substr(0, contentEnd), contentStart);
  TokenInfo token;
  int previous = TOKEN_END_OF_TEXT;
  for (int kind = NextToken(scanner, token); kind != TOKEN_END_OF_TEXT;
       previous = kind, kind = NextToken(scanner, token)) {
    const std::u16string_view tokenText(scanner.text + token.start, token.length);
    if (kind == NODE_TEXT) {
      data += UnescapeText(tokenText);
    } else if (kind == NODE_WHITESPACE && previous == NODE_TEXT) {
      data += tokenText;
    } else if (kind == NODE_CDATA_SECTION && token.length >= kCdataOpening + kCdataClosing) {
      data += tokenText.substr(kCdataOpening, token.length - kCdataOpening - kCdataClosing);
    }
  }
  return data;
}

}  // namespace vexo
