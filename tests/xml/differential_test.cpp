// Differential test against pugixml: for generated well-formed documents, the element tree, every
// attribute value and every leaf's text read through CXmlNavigator equal pugixml's reading of the
// same UTF-16 text.
#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/xml/xml_test_util.h"
#include "xml/xml_navigator.h"

namespace vexo {
namespace {

std::string Utf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Utf16(std::string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    std::uint32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < text.size(); ++k) {
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += 1 + extra;
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

// Random well-formed documents: names, attributes in both quote kinds, references, CDATA
// sections, comments, processing instructions and nesting.
class DocumentGenerator {
 public:
  explicit DocumentGenerator(unsigned seed) : random_(seed) {}

  std::u16string Document() {
    std::u16string text;
    if (Chance(50)) {
      text += u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n";
    }
    if (Chance(30)) {
      text += u"<!-- prologue -->\n";
    }
    Element(text, 0);
    if (Chance(30)) {
      text += u"\n<!-- after the root -->";
    }
    return text;
  }

 private:
  bool Chance(int percent) { return Pick(100) < percent; }
  int Pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(random_); }
  char16_t PickOf(std::u16string_view units) { return units[Pick(static_cast<int>(units.size()))]; }

  std::u16string Name() {
    static constexpr std::u16string_view kFirst = u"abcdefxyzABCXYZ_:\u00E9\u4E2D\u0436";
    static constexpr std::u16string_view kRest = u"abcxyzABC0123456789_.-:\u00E9\u4E2D";
    std::u16string name(1, PickOf(kFirst));
    for (int n = Pick(6); n > 0; --n) {
      name += PickOf(kRest);
    }
    return name;
  }

  std::u16string Reference() {
    switch (Pick(8)) {
      case 0:
        return u"&amp;";
      case 1:
        return u"&lt;";
      case 2:
        return u"&gt;";
      case 3:
        return u"&quot;";
      case 4:
        return u"&apos;";
      case 5:
        return u"&#" + Decimal(1 + Pick(0x2FFF)) + u";";
      case 6:
        return u"&#x1F600;";
      default:
        return u"&#x4E2D;";
    }
  }

  static std::u16string Decimal(int number) {
    const std::string digits = std::to_string(number >= 0xD800 ? number + 0x800 : number);
    return {digits.begin(), digits.end()};
  }

  // Character data without "<" and raw "&"; never "]]>". `forbidden` units are left out.
  std::u16string Characters(std::u16string_view extra, std::u16string_view forbidden = u"") {
    static constexpr std::u16string_view kPlain =
        u"abc xyz 0123 .,;:!?-=/()[]{}#%*+\u00E9\u00FC\u4E2D\u0436";
    std::u16string text;
    for (int n = Pick(12); n > 0; --n) {
      const int kind = Pick(10);
      if (kind < 6) {
        text += PickOf(kPlain);
      } else if (kind < 8) {
        text += Reference();
      } else if (kind == 8 && !extra.empty()) {
        text += PickOf(extra);
      } else {
        text += u"\xD83D\xDE00";
      }
    }
    std::erase_if(text, [forbidden](char16_t unit) {
      return forbidden.find(unit) != std::u16string_view::npos;
    });
    return text;
  }

  // Character data with at least one unit that is not white space: the parsers agree to drop
  // white-space-only runs next to markup, but differ on which.
  std::u16string Text(std::u16string_view extra) {
    std::u16string text = Characters(extra);
    if (text.find_first_not_of(u" \t\n") == std::u16string::npos) {
      text += u'x';
    }
    return text;
  }

  void Attributes(std::u16string& text) {
    std::set<std::u16string> used;
    for (int n = Pick(4); n > 0; --n) {
      const std::u16string name = Name();
      if (!used.insert(name).second) {
        continue;
      }
      const char16_t quote = Chance(50) ? u'"' : u'\'';
      const char16_t other = quote == u'"' ? u'\'' : u'"';
      text += PickOf(u" \n\t");
      text += name;
      text += Chance(20) ? u" = " : u"=";
      text += quote;
      text += Characters(std::u16string(1, other) + u">");
      text += quote;
    }
  }

  void LeafContent(std::u16string& text) {
    for (int n = Pick(4); n > 0; --n) {
      switch (Pick(6)) {
        case 0:
          text += u"<![CDATA[" + Characters(u"<&>'\"") + u"]]>";
          break;
        case 1:
          // Not "<!-->": this parser takes it for a whole comment.
          text += u"<!-- " + Characters(u"<&>", u"-") + u"-->";
          break;
        case 2:
          text += u"<?pi " + Characters(u"<&>", u"?") + u"?>";
          break;
        case 3:
          text += u"  \n " + Text(u"");
          break;
        default:
          text += Text(u"'\">");
          break;
      }
    }
  }

  void Element(std::u16string& text, int depth) {
    const std::u16string name = Name();
    text += u"<" + name;
    Attributes(text);
    if (Chance(15)) {
      text += Chance(50) ? u"/>" : u" />";
      return;
    }
    text += u">";
    if (depth < 6 && Chance(60)) {
      for (int n = 1 + Pick(5); n > 0; --n) {
        if (Chance(30)) {
          text += Chance(50) ? u"\n  " : u"<!-- between -->";
        }
        Element(text, depth + 1);
      }
      if (Chance(30)) {
        text += u"\n";
      }
    } else {
      LeafContent(text);
    }
    text += u"</" + name + (Chance(20) ? u" >" : u">");
  }

  std::mt19937 random_;
};

// The text pugixml gives an element: its character data and CDATA sections in order.
std::string PugiText(const pugi::xml_node& node) {
  std::string text;
  for (const pugi::xml_node& child : node.children()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      text += child.value();
    }
  }
  return text;
}

bool HasElementChildren(const pugi::xml_node& node) {
  for (const pugi::xml_node& child : node.children()) {
    if (child.type() == pugi::node_element) {
      return true;
    }
  }
  return false;
}

// Walks the children of the current parent in both navigators: `byStep` steps with an empty
// name, `byName` searches for pugixml's name; both must land on the same record.
void CompareChildren(const pugi::xml_node& parent, CXmlNavigator& byStep, CXmlNavigator& byName) {
  for (const pugi::xml_node& child : parent.children()) {
    if (child.type() != pugi::node_element) {
      continue;
    }
    const std::u16string name = Utf16(child.name());
    SCOPED_TRACE(child.name());
    ASSERT_TRUE(byStep.FindElement(u""));
    ASSERT_TRUE(byName.FindElement(name.c_str()));
    ASSERT_EQ(byStep.CurrentPos(), byName.CurrentPos());
    const int position = byName.CurrentPos();
    for (const pugi::xml_attribute& attribute : child.attributes()) {
      SCOPED_TRACE(attribute.name());
      EXPECT_EQ(Utf8(byName.GetAttribute(position, Utf16(attribute.name()).c_str())),
                attribute.value());
    }
    const std::string expected = HasElementChildren(child) ? "" : PugiText(child);
    EXPECT_EQ(Utf8(byName.GetElementData(position)), expected);
    ASSERT_TRUE(byStep.EnterElement());
    ASSERT_TRUE(byName.EnterElement());
    CompareChildren(child, byStep, byName);
    ASSERT_TRUE(byStep.LeaveElement());
    ASSERT_TRUE(byName.LeaveElement());
    ASSERT_EQ(byStep.CurrentPos(), position);
  }
  EXPECT_FALSE(byStep.FindElement(u""));  // no element that pugixml did not see
}

TEST(XmlDifferentialTest, ReadsGeneratedDocumentsLikePugixml) {
  constexpr unsigned kDocuments = 400;
  std::size_t elements = 0;
  for (unsigned seed = 1; seed <= kDocuments; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::u16string text = DocumentGenerator(seed).Document();
    pugi::xml_document reference;
    const pugi::xml_parse_result loaded = reference.load_buffer(
        text.data(), text.size() * sizeof(char16_t),
        pugi::parse_default | pugi::parse_ws_pcdata_single, pugi::encoding_utf16_le);
    ASSERT_TRUE(loaded) << loaded.description() << " at " << loaded.offset << " in "
                        << xml_test::Readable(text);
    CXmlNavigator byStep;
    CXmlNavigator byName;
    EXPECT_TRUE(byStep.ParseText(text)) << xml_test::Readable(byStep.ParseResult());
    byName.ParseText(text);
    CompareChildren(reference, byStep, byName);
    elements += byStep.PositionCount() - 1;
    if (HasFatalFailure()) {
      ADD_FAILURE() << xml_test::Readable(text);
      return;
    }
  }
  EXPECT_GT(elements, kDocuments * 5);  // the generator makes real trees
}

}  // namespace
}  // namespace vexo
