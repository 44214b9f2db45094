// Parsing into element records: recovery, flags and the exact result records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/xml/xml_test_util.h"
#include "xml/xml_navigator.h"

namespace vexo {
namespace {

using xml_test::Readable;

std::u16string Repeat(std::u16string_view piece, std::size_t times) {
  std::u16string text;
  text.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) {
    text += piece;
  }
  return text;
}

const ElementPosition& Record(const CXmlNavigator& nav, int index) {
  const ElementPosition* record = nav.Position(index);
  EXPECT_NE(record, nullptr) << index;
  static const ElementPosition kNone;
  return record != nullptr ? *record : kNone;
}

struct ParseCase {
  std::u16string text;
  bool wellFormed;
  std::u16string result;
};

TEST(XmlParseTest, AnswersAndResultRecords) {
  const std::vector<ParseCase> cases = {
      {u"", false, u""},
      {u"<r/>", true, u""},
      {u" <r> t </r> ", true, u""},
      {u"\uFEFF<?xml version=\"1.0\" encoding=\"utf-8\"?><!-- c -->\r\n<r>t</r> x <!-- d -->", true,
       u""},
      {u"<!DOCTYPE r [<!ENTITY e 'v'>]><r>&e;</r>", true, u""},
      {u"<a><b></a>", false, u"<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"7\"/>"},
      {u"<a></b></a>", false, u"<lone_end_tag tagname=\"b\" offset=\"3\"/>"},
      {u"<a/><b/>", false, u"<root_has_sibling/>"},
      {u"<a b='>'/>", true, u""},
      {u"<a b=x/>", false, u"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"8\"/>"},
      {u"<1a>", false, u"<first_tag_syntax offset=\"0\"/><no_root_element/>"},
      {u"just text", false, u"<no_root_element/>"},
      {u"<a", false,
       u"<unterminated_tag_syntax type=\"start_tag\" offset=\"0\"/><no_root_element/>"},
      {u"<r><a><b><c/></r>", false,
       u"<unended_start_tag tagname=\"b\" offset=\"6\" offset2=\"14\"/>"
       u"<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"14\"/>"},
      {u"<r><a>", false,
       u"<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"6\"/>"
       u"<unended_start_tag tagname=\"r\" offset=\"0\" offset2=\"6\"/><root_has_sibling/>"},
      {u"<a></A>", false,
       u"<lone_end_tag tagname=\"A\" offset=\"3\"/>"
       u"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"7\"/>"},
      {u"<r></a&\"'<></r>", false,
       u"<lone_end_tag tagname=\"a&amp;&quot;&apos;&lt;\" offset=\"3\"/>"},
      // An end tag closes a start tag whose name goes on with "=", "[" or "]" after its own.
      {u"<a=x></a>", true, u""},
      {u"<a[1]><b></b></a>", true, u""},
      {u"<a></a=x>", false,
       u"<lone_end_tag tagname=\"a=x\" offset=\"3\"/>"
       u"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"9\"/>"},
      {u"<r><1></r>", false, u"<first_tag_syntax offset=\"3\"/>"},
      {u"<r><!-x></r>", false, u"<comment_tag_syntax offset=\"3\"/>"},
      {u"<r/><!-- open", false, u"<unterminated_tag_syntax type=\"comment\" offset=\"4\"/>"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.text));
    CXmlNavigator nav;
    EXPECT_EQ(nav.ParseText(row.text), row.wellFormed);
    EXPECT_EQ(nav.IsWellFormed(), row.wellFormed);
    EXPECT_EQ(Readable(nav.ParseResult()), Readable(row.result));
    EXPECT_EQ(Record(nav, 0).length, row.text.size());
    EXPECT_EQ(nav.CurrentPos(), 0);
    EXPECT_EQ(nav.ParentPos(), 0);
  }
}

TEST(XmlParseTest, EmptyTextGivesNoRecords) {
  CXmlNavigator nav;
  EXPECT_FALSE(nav.ParseText(u""));
  EXPECT_EQ(nav.PositionCount(), 1u);
  EXPECT_EQ(Record(nav, 0).firstChild, 0u);
  EXPECT_EQ(nav.Position(1), nullptr);
  EXPECT_FALSE(nav.ParseText());
  EXPECT_FALSE(nav.ParseText(static_cast<const char16_t*>(nullptr)));
}

TEST(XmlParseTest, RecordsDescribeTagsLevelsAndLinks) {
  CXmlNavigator nav;
  ASSERT_TRUE(nav.ParseText(u"<a x='1'><b><c/><d>t</d></b><e/></a>"));
  ASSERT_EQ(nav.PositionCount(), 6u);  // the document, then a b c d e in order
  const ElementPosition& a = Record(nav, 1);
  EXPECT_EQ(a.start, 0u);
  EXPECT_EQ(a.length, 36u);
  EXPECT_EQ(a.StartTagLength(), 9u);
  EXPECT_EQ(a.EndTagLength(), 4u);
  EXPECT_EQ(a.Level(), 0u);
  EXPECT_EQ(a.firstChild, 2u);
  EXPECT_EQ(Record(nav, 0).firstChild, 1u);

  const ElementPosition& b = Record(nav, 2);
  EXPECT_EQ(b.parent, 1u);
  EXPECT_EQ(b.nextSibling, 5u);
  EXPECT_EQ(b.prevSibling, 5u);  // the first child names the last one
  EXPECT_TRUE(b.Has(EP_FIRST_CHILD));
  EXPECT_EQ(Record(nav, 5).prevSibling, 2u);
  EXPECT_FALSE(Record(nav, 5).Has(EP_FIRST_CHILD));

  const ElementPosition& c = Record(nav, 3);
  EXPECT_EQ(c.Level(), 2u);
  EXPECT_EQ(c.length, 4u);
  EXPECT_EQ(c.StartTagLength(), 4u);
  EXPECT_EQ(c.EndTagLength(), 0u);
  EXPECT_EQ(c.levelFlags & 0xFFFF0000u, EP_FIRST_CHILD);
  const ElementPosition& d = Record(nav, 4);
  EXPECT_EQ(d.start, 16u);
  EXPECT_EQ(d.length, 8u);
  EXPECT_EQ(d.parent, 2u);
  EXPECT_EQ(c.nextSibling, 4u);
}

TEST(XmlParseTest, UnendedStartTagKeepsOnlyItsStartTag) {
  CXmlNavigator nav;
  nav.ParseText(u"<a><b></a>");
  const ElementPosition& b = Record(nav, 2);
  EXPECT_TRUE(b.Has(EP_NO_END_TAG));
  EXPECT_EQ(b.length, 3u);
  EXPECT_EQ(b.EndTagLength(), 0u);
  const ElementPosition& a = Record(nav, 1);
  EXPECT_FALSE(a.Has(EP_NO_END_TAG));
  EXPECT_EQ(a.length, 10u);
  EXPECT_EQ(a.EndTagLength(), 4u);
  EXPECT_TRUE(Record(nav, 0).Has(EP_ERROR_BELOW));
  EXPECT_FALSE(Record(nav, 0).Has(EP_ERROR));
}

TEST(XmlParseTest, ChildrenOfUnendedElementsBecomeTheirFollowingSiblings) {
  CXmlNavigator nav;
  nav.ParseText(u"<a><b><c/></a>");
  EXPECT_EQ(Record(nav, 2).nextSibling, 3u);
  EXPECT_EQ(Record(nav, 2).firstChild, 0u);
  EXPECT_EQ(Record(nav, 3).parent, 1u);
  EXPECT_EQ(Record(nav, 1).firstChild, 2u);
  EXPECT_EQ(Record(nav, 2).prevSibling, 3u);  // a's last child is now c
  EXPECT_FALSE(Record(nav, 3).Has(EP_FIRST_CHILD));

  // Nested unended elements flatten in document order: r holds a, x, b, c, y.
  nav.ParseText(u"<r><a><x/><b><c/><y/></r>");
  std::vector<std::uint32_t> children;
  for (std::uint32_t child = Record(nav, 1).firstChild; child != 0;
       child = Record(nav, child).nextSibling) {
    children.push_back(child);
    EXPECT_EQ(Record(nav, child).parent, 1u);
    EXPECT_EQ(Record(nav, child).firstChild, 0u);
  }
  EXPECT_EQ(children, (std::vector<std::uint32_t>{2, 3, 4, 5, 6}));
  EXPECT_EQ(Record(nav, 2).prevSibling, 6u);
}

TEST(XmlParseTest, ErrorFlagMarksInnermostOpenElementAndMovesUpWhenItIsUnended) {
  CXmlNavigator nav;
  nav.ParseText(u"<a></b></a>");
  EXPECT_TRUE(Record(nav, 1).Has(EP_ERROR));
  EXPECT_EQ(Record(nav, 1).length, 11u);

  nav.ParseText(u"<r><a><b></x></r>");
  EXPECT_EQ(Readable(nav.ParseResult()),
            Readable(u"<lone_end_tag tagname=\"x\" offset=\"9\"/>"
                     u"<unended_start_tag tagname=\"b\" offset=\"6\" offset2=\"14\"/>"
                     u"<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"14\"/>"));
  EXPECT_TRUE(Record(nav, 1).Has(EP_ERROR));
  EXPECT_FALSE(Record(nav, 2).Has(EP_ERROR));
  EXPECT_FALSE(Record(nav, 3).Has(EP_ERROR));

  // A problem while no element is open marks the document record.
  nav.ParseText(u"</x><r/>");
  EXPECT_TRUE(Record(nav, 0).Has(EP_ERROR));
  EXPECT_TRUE(Record(nav, 0).Has(EP_ERROR_BELOW));
  EXPECT_FALSE(Record(nav, 1).Has(EP_ERROR));
  EXPECT_EQ(Readable(nav.ParseResult()), Readable(u"<lone_end_tag tagname=\"x\" offset=\"0\"/>"));
}

TEST(XmlParseTest, ResultRecordsStopGrowingPast999Units) {
  CXmlNavigator nav;
  nav.ParseText(u"<r>" + Repeat(u"</x>", 100) + u"</r>");
  const std::u16string& result = nav.ParseResult();
  EXPECT_GT(result.size(), CXmlNavigator::kMaxResultLength);
  const std::size_t last = result.rfind(u"<lone_end_tag");
  EXPECT_LE(last, CXmlNavigator::kMaxResultLength);  // the last record was added below the limit
  const std::u16string first = u"<lone_end_tag tagname=\"x\" offset=\"3\"/>";
  EXPECT_EQ(result.substr(0, first.size()), first);
  EXPECT_EQ(result.substr(result.size() - 2), u"/>");
}

TEST(XmlParseTest, ParsingAgainReplacesEverything) {
  CXmlNavigator nav;
  nav.ParseText(u"<a><b></a>");
  ASSERT_TRUE(nav.FindElement(u"a"));
  EXPECT_TRUE(nav.ParseText(u"<z/>"));
  EXPECT_EQ(nav.ParseResult(), u"");
  EXPECT_EQ(nav.CurrentPos(), 0);
  EXPECT_EQ(nav.PositionCount(), 2u);
  EXPECT_FALSE(Record(nav, 1).Has(EP_NO_END_TAG));
}

// Tags and nesting that do not fit the record's fields are refused, never wrapped around.
TEST(XmlParseTest, TooDeepNestingIsRefusedNotWrapped) {
  constexpr std::size_t kDeepest = kMaxLevel + 1;  // levels 0 to 65535 fit
  CXmlNavigator nav;
  nav.ParseText(Repeat(u"<a>", kDeepest + 1) + Repeat(u"</a>", kDeepest + 1));
  EXPECT_FALSE(nav.IsWellFormed());
  EXPECT_EQ(nav.PositionCount(), kDeepest + 1);
  EXPECT_EQ(Record(nav, kDeepest).Level(), kMaxLevel);
  EXPECT_EQ(Record(nav, kDeepest).EndTagLength(), 4u);
  EXPECT_EQ(Readable(nav.ParseResult()),
            Readable(u"<nesting_too_deep offset=\"196608\"/>"
                     u"<lone_end_tag tagname=\"a\" offset=\"458755\"/>"));
}

TEST(XmlParseTest, OverlongStartTagIsRefused) {
  const auto tagOfLength = [](std::size_t length) {
    return u"<a b='" + std::u16string(length - 9, u'x') + u"'/>";
  };
  CXmlNavigator nav;
  EXPECT_TRUE(nav.ParseText(tagOfLength(kMaxStartTagLength)));
  EXPECT_EQ(Record(nav, 1).StartTagLength(), kMaxStartTagLength);
  EXPECT_EQ(Record(nav, 1).length, kMaxStartTagLength);

  EXPECT_FALSE(nav.ParseText(tagOfLength(kMaxStartTagLength + 1)));
  EXPECT_EQ(nav.PositionCount(), 1u);
  EXPECT_EQ(Readable(nav.ParseResult()),
            Readable(u"<tag_too_long type=\"start_tag\" offset=\"0\"/><no_root_element/>"));
}

TEST(XmlParseTest, OverlongEndTagIsRefused) {
  const auto document = [](std::size_t endTagLength) {
    return u"<a></a" + std::u16string(endTagLength - 4, u' ') + u">";
  };
  CXmlNavigator nav;
  EXPECT_TRUE(nav.ParseText(document(kMaxEndTagLength)));
  EXPECT_EQ(Record(nav, 1).EndTagLength(), kMaxEndTagLength);

  const std::u16string text = document(kMaxEndTagLength + 1);
  EXPECT_FALSE(nav.ParseText(text));
  EXPECT_TRUE(Record(nav, 1).Has(EP_NO_END_TAG));
  EXPECT_EQ(Readable(nav.ParseResult()),
            Readable(u"<tag_too_long type=\"end_tag\" offset=\"3\"/>"
                     u"<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"1027\"/>"));
}

TEST(XmlAddResultTest, NamesAttributesByOptions) {
  struct Case {
    const char16_t* text;
    unsigned options;
    std::int64_t number;
    std::int64_t number2;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"t", 0, 5, -1, u"<k tagname=\"t\" offset=\"5\"/>"},
      {u"t", 0x2, 5, -1, u"<k type=\"t\" offset=\"5\"/>"},
      {u"t", 0x8, 5, -1, u"<k encoding=\"t\" offset=\"5\"/>"},
      {u"t", 0x40, 5, -1, u"<k msg=\"t\" offset=\"5\"/>"},
      {u"t", 0x4, 5, -1, u"<k tagname=\"t\" n=\"5\"/>"},
      {u"t", 0x1, 5, -1, u"<k tagname=\"t\" count=\"5\"/>"},
      {u"t", 0x10, 5, -1, u"<k tagname=\"t\" length=\"5\"/>"},
      {u"t", 0x4, -1, -1, u"<k tagname=\"t\" n=\"-1\"/>"},
      {u"t", 0, -1, -1, u"<k tagname=\"t\"/>"},
      {nullptr, 0, -1, -1, u"<k/>"},
      {u"", 0, 0, 7, u"<k tagname=\"\" offset=\"0\" offset2=\"7\"/>"},
      {nullptr, 0, -1, 7, u"<k offset2=\"7\"/>"},
      {u"<'&\">", 0, 1, -1, u"<k tagname=\"&lt;&apos;&amp;&quot;&gt;\" offset=\"1\"/>"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.expected));
    std::u16string result = u"<a x=\"1\"/>";
    CXmlNavigator::AddResult(result, u"k",
                             row.text ? std::optional<std::u16string_view>(row.text) : std::nullopt,
                             row.options, row.number, row.number2);
    EXPECT_EQ(Readable(result), Readable(u"<a x=\"1\"/>" + row.expected));
  }
}

TEST(XmlAddResultTest, DropsRecordsOnceTheTextIsLongerThan999Units) {
  std::u16string result = u"<a/>" + std::u16string(995, u' ');
  ASSERT_EQ(result.size(), 999u);
  CXmlNavigator::AddResult(result, u"k", std::nullopt, 0, 1, -1);
  EXPECT_EQ(result.substr(999), u"<k offset=\"1\"/>");
  const std::u16string full = result;
  CXmlNavigator::AddResult(result, u"k", std::nullopt, 0, 2, -1);
  EXPECT_EQ(result, full);
}

}  // namespace
}  // namespace vexo
