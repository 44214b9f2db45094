// Arbitrary UTF-16 input (little-endian byte pairs) parsed by CXmlNavigator, then the whole tree
// walked with every getter, and the records checked against the text they describe.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "xml/xml_escape.h"
#include "xml/xml_navigator.h"
#include "xml/xml_token.h"

namespace {

void Require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

std::u16string Units(const std::uint8_t* data, std::size_t size) {
  std::u16string text(size / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  }
  return text;
}

// Every record lies inside the document, within its parent, and the sibling links agree.
void CheckRecords(const vexo::CXmlNavigator& nav) {
  const std::size_t size = nav.Text().size();
  Require(nav.Position(0)->length == size);
  for (std::uint32_t i = 1; i < nav.PositionCount(); ++i) {
    const vexo::ElementPosition& r = *nav.Position(static_cast<int>(i));
    Require(std::size_t{r.start} + r.length <= size);
    Require(r.StartTagLength() <= r.length);
    Require(r.StartTagLength() + r.EndTagLength() <= r.length);
    Require(r.parent < i);
    if (r.parent != 0) {
      const vexo::ElementPosition& parent = *nav.Position(static_cast<int>(r.parent));
      Require(r.start >= parent.start && r.start + r.length <= parent.start + parent.length);
      Require(r.Level() > parent.Level());
    }
    if (r.nextSibling != 0) {
      Require(nav.Position(static_cast<int>(r.nextSibling))->parent == r.parent);
    }
  }
}

// Every attribute in `names` of the element at `index` reads as one scan of its start tag reads
// it, whatever the navigator kept from reading the tag before.
void CheckAttributes(const vexo::CXmlNavigator& nav, int index,
                     const std::vector<std::u16string>& names) {
  const vexo::ElementPosition& r = *nav.Position(index);
  const std::u16string_view tag =
      std::u16string_view(nav.Text()).substr(0, r.start + r.StartTagLength());
  for (const std::u16string& name : names) {
    vexo::TokenScanner scanner(tag, r.start + 1);
    const bool found = vexo::FindAttributeInTag(scanner, name.c_str());
    Require(nav.GetAttribute(index, name.c_str()) ==
            (found ? vexo::UnescapeText(scanner.Word()) : std::u16string()));
  }
}

// Depth-first over the whole tree with FindElement / EnterElement / LeaveElement, reading every
// attribute named in `names` and every element's text.
void Walk(vexo::CXmlNavigator& nav, const std::vector<std::u16string>& names) {
  std::size_t visited = 0;
  int depth = 0;
  for (;;) {
    if (nav.FindElement(nullptr)) {
      Require(++visited < nav.PositionCount());
      const int position = nav.CurrentPos();
      CheckAttributes(nav, position, names);
      (void)nav.GetElementData(position);
      Require(nav.EnterElement());
      ++depth;
      continue;
    }
    if (depth == 0) {
      break;
    }
    Require(nav.LeaveElement());
    --depth;
  }
  Require(visited == nav.PositionCount() - 1);
}

// Names to look for: a few fixed ones and slices of the input itself.
std::vector<std::u16string> Names(const std::u16string& text) {
  std::vector<std::u16string> names = {u"a", u"id", u"url", u"offset", u""};
  for (std::size_t i = 0; i + 4 <= text.size() && names.size() < 12; i += 1 + text.size() / 8) {
    names.push_back(text.substr(i, 1 + text[i] % 4));
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = Units(data, size);

  // Escapes and references: escaping then unescaping gives the text back.
  Require(vexo::UnescapeText(vexo::EscapeText(text, vexo::ESCAPE_QUOTES)) == text);
  (void)vexo::UnescapeText(text);

  vexo::CXmlNavigator nav;
  const bool wellFormed = nav.ParseText(text);
  Require(wellFormed == nav.IsWellFormed());
  CheckRecords(nav);
  const std::vector<std::u16string> names = Names(text);
  Walk(nav, names);
  for (const std::u16string& name : names) {
    nav.ParseText(text);
    while (nav.FindElement(name.c_str())) {
      (void)nav.EnterElement();
    }
  }

  // The result records are themselves a document of empty elements without errors.
  vexo::CXmlNavigator results;
  results.ParseText(nav.ParseResult());
  Require(!results.Position(0)->Has(vexo::EP_ERROR_BELOW));

  // Editing keeps every record inside the text, and attributes read before an edit read anew.
  nav.ParseText(text);
  if (nav.FindElement(nullptr)) {
    const int first = nav.CurrentPos();
    CheckAttributes(nav, first, names);
    nav.SetAttribute(first, u"k", text.substr(0, 8).c_str(), 0);
    CheckAttributes(nav, first, names);
    nav.AddElement(u"added", nullptr, vexo::CXmlNavigator::ADD_NO_LINE_BREAKS);
    CheckAttributes(nav, first, names);
    CheckRecords(nav);
    vexo::CXmlNavigator edited;
    edited.ParseText(nav.Text());
    Walk(edited, names);
  }
  return 0;
}
