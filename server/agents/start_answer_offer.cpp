#include "server/agents/start_answer_offer.h"

#include <vector>

#include "xml/xml_navigator.h"

namespace vexo::server {
namespace {

std::u16string BytesAsUnits(std::string_view bytes) {
  std::u16string units(bytes.size(), u'\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    units[i] = static_cast<unsigned char>(bytes[i]);
  }
  return units;
}

// Units of at most 0xFF back to the bytes they came from; a character reference beyond them
// cannot be one byte and becomes '?'.
std::string UnitsAsBytes(std::u16string_view units) {
  std::string bytes(units.size(), '\0');
  for (size_t i = 0; i < units.size(); ++i) {
    bytes[i] = units[i] <= 0xFF ? static_cast<char>(units[i]) : '?';
  }
  return bytes;
}

// Into the answer's `response` and its `data`; false when it has either not.
bool EnterData(CXmlNavigator& navigator) {
  return navigator.FindElement(u"response") && navigator.EnterElement() &&
         navigator.FindElement(u"data") && navigator.EnterElement();
}

struct Span {
  uint32_t start = 0;
  uint32_t length = 0;
};

// Every software_update child of the data element entered, in document order.
std::vector<Span> OfferSpans(CXmlNavigator& navigator) {
  std::vector<Span> spans;
  while (navigator.FindElement(u"software_update")) {
    const ElementPosition* position = navigator.Position(navigator.CurrentPos());
    spans.push_back({position->start, position->length});
  }
  return spans;
}

// The text with each span replaced: the first by `replacement`, the others by nothing.
// The span widened to its whole line when the element stands alone on it, so that cutting it
// leaves no blank line behind.
Span WholeLine(std::u16string_view text, Span span) {
  size_t start = span.start;
  while (start > 0 && (text[start - 1] == u' ' || text[start - 1] == u'\t')) {
    --start;
  }
  size_t end = span.start + span.length;
  if (end < text.size() && text[end] == u'\r') {
    ++end;
  }
  if ((start == 0 || text[start - 1] == u'\n') && end < text.size() && text[end] == u'\n') {
    return {static_cast<uint32_t>(start), static_cast<uint32_t>(end + 1 - start)};
  }
  return span;
}

std::string Replaced(std::u16string_view text, const std::vector<Span>& spans,
                     std::string_view replacement) {
  std::string result;
  uint32_t from = 0;
  for (size_t i = 0; i < spans.size(); ++i) {
    result += UnitsAsBytes(text.substr(from, spans[i].start - from));
    if (i == 0) {
      result += replacement;
    }
    from = spans[i].start + spans[i].length;
  }
  return result + UnitsAsBytes(text.substr(from));
}

std::u16string ChildText(CXmlNavigator& navigator, const char16_t* name) {
  return navigator.FindElement(name) ? navigator.GetElementData(navigator.CurrentPos())
                                     : std::u16string();
}

}  // namespace

OfferInAnswer ReadOffer(std::string_view answer) {
  CXmlNavigator navigator;
  navigator.ParseText(BytesAsUnits(answer));
  OfferInAnswer offer;
  if (!EnterData(navigator) || !navigator.FindElement(u"software_update") ||
      !navigator.EnterElement()) {
    return offer;
  }
  // The children agents look for before `version`, in their order: each search starts after
  // the element found last, so skipping one would change what is found.
  offer.present = ChildText(navigator, u"status") == u"y";
  ChildText(navigator, u"name");
  ChildText(navigator, u"rname");
  offer.forced = ChildText(navigator, u"force") == u"y";
  ChildText(navigator, u"param");
  offer.version = UnitsAsBytes(ChildText(navigator, u"version"));
  return offer;
}

std::optional<std::string> WithoutOffer(std::string_view answer) {
  CXmlNavigator navigator;
  navigator.ParseText(BytesAsUnits(answer));
  if (!navigator.IsWellFormed()) {
    return std::nullopt;
  }
  if (!EnterData(navigator)) {
    return std::string(answer);
  }
  std::vector<Span> spans = OfferSpans(navigator);
  for (Span& span : spans) {
    span = WholeLine(navigator.Text(), span);
  }
  return spans.empty() ? std::string(answer) : Replaced(navigator.Text(), spans, {});
}

std::optional<std::string> WithOffer(std::string_view answer, std::string_view offerElement) {
  CXmlNavigator navigator;
  navigator.ParseText(BytesAsUnits(answer));
  if (!navigator.IsWellFormed() || !EnterData(navigator)) {
    return std::nullopt;
  }
  std::vector<Span> spans = OfferSpans(navigator);
  if (spans.empty()) {
    const ElementPosition* data = navigator.Position(navigator.ParentPos());
    if (data->length == data->StartTagLength()) {
      return std::nullopt;  // <data/>: no content to put the offer in
    }
    spans.push_back({data->start + data->StartTagLength(), 0});
  }
  return Replaced(navigator.Text(), spans, offerElement);
}

}  // namespace vexo::server
