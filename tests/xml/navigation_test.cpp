// Stepping between elements and reading attribute values and element text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/xml/xml_test_util.h"
#include "xml/xml_navigator.h"

namespace vexo {
namespace {

using xml_test::Readable;

// The start offset of the current element, or -1 without one.
int CurrentStart(const CXmlNavigator& nav) {
  const ElementPosition* record = nav.Position(nav.CurrentPos());
  return nav.CurrentPos() != 0 && record != nullptr ? static_cast<int>(record->start) : -1;
}

TEST(XmlFindElementTest, SearchesForwardAmongSiblingsOnly) {
  CXmlNavigator nav;
  nav.ParseText(u"<r><a/><b/></r>");
  EXPECT_FALSE(nav.FindElement(u"b"));  // the top level holds only r
  ASSERT_TRUE(nav.FindElement(u"r"));
  ASSERT_TRUE(nav.EnterElement());
  ASSERT_TRUE(nav.FindElement(u"b"));
  EXPECT_EQ(CurrentStart(nav), 7);
  EXPECT_FALSE(nav.FindElement(u"a"));  // a precedes b
  EXPECT_EQ(CurrentStart(nav), 7);      // a failed search leaves the position
  EXPECT_EQ(nav.NodeType(), 1);
}

TEST(XmlFindElementTest, PathSyntaxAndForms) {
  // Offsets after entering r: a 3, item 7, x 14, item 18.
  const std::u16string text = u"<r><a/><item/><x/><item/></r>";
  struct Case {
    const char16_t* path;
    int found;  // start of the element found, -1 for none
  };
  const std::vector<Case> cases = {
      {nullptr, 3},
      {u"", 3},
      {u"item", 7},
      {u"item[1]", 7},
      {u"item[2]", 7},
      {u"item[12]", 7},
      {u"item/x", 7},
      {u"item/x/y", 7},
      {u"item[@k]", 7},
      {u"item[@k='v']", 7},
      {u"item[@k=\"v]\"]", 7},
      {u"item[@k=v]", 7},
      {u"item[child]", 7},
      {u"item/@k", 7},
      {u"item[1]/x[@k]", 7},
      {u"x", 14},
      {u"/item", -1},
      {u"//item", -1},
      {u"//item/x", -1},
      {u"item x", -1},
      {u"item/", -1},
      {u"item[1", -1},
      {u"item[]", -1},
      {u"item[@]", -1},
      {u"item[@k='v]", -1},
      {u"item[1x]", -1},
      {u"item[1]x", -1},
      {u"item/@k/x", -1},
      {u"=item", -1},
      {u"it", -1},
      {u"items", -1},
      {u"Item", -1},
      {u"@k", -1},
      {u"item]", -1},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.path ? Readable(row.path) : std::string("(none)"));
    CXmlNavigator nav;
    nav.ParseText(text);
    ASSERT_TRUE(nav.FindElement(u"r"));
    ASSERT_TRUE(nav.EnterElement());
    EXPECT_EQ(nav.FindElement(row.path), row.found >= 0);
    EXPECT_EQ(CurrentStart(nav), row.found);
  }
}

TEST(XmlFindElementTest, EmptyNameStepsThroughEveryElement) {
  CXmlNavigator nav;
  nav.ParseText(u"<r><a/>text<b>t</b><!-- c --><c/></r>");
  ASSERT_TRUE(nav.FindElement(u"r"));
  ASSERT_TRUE(nav.EnterElement());
  std::vector<int> starts;
  while (nav.FindElement(u"")) {
    starts.push_back(CurrentStart(nav));
  }
  EXPECT_EQ(starts, (std::vector<int>{3, 11, 29}));
  EXPECT_EQ(CurrentStart(nav), 29);
}

TEST(XmlFindElementTest, NothingIsFoundInAnEmptyOrUnparsedDocument) {
  CXmlNavigator nav;
  EXPECT_FALSE(nav.FindElement(u""));
  EXPECT_FALSE(nav.FindElement(nullptr));
  nav.ParseText(u"no elements");
  EXPECT_FALSE(nav.FindElement(u""));
  EXPECT_FALSE(nav.EnterElement());
}

TEST(XmlEnterLeaveTest, EnterNeedsACurrentElementAndLeaveAParent) {
  CXmlNavigator nav;
  nav.ParseText(u"<r><a><x/></a><b/></r>");
  EXPECT_FALSE(nav.EnterElement());
  EXPECT_FALSE(nav.LeaveElement());
  ASSERT_TRUE(nav.FindElement(u"r"));
  EXPECT_FALSE(nav.LeaveElement());  // r is at the top level
  ASSERT_TRUE(nav.EnterElement());
  EXPECT_EQ(nav.CurrentPos(), 0);
  EXPECT_EQ(nav.NodeType(), 0);
  EXPECT_FALSE(nav.EnterElement());
  ASSERT_TRUE(nav.FindElement(u"a"));
  ASSERT_TRUE(nav.EnterElement());
  ASSERT_TRUE(nav.FindElement(u"x"));
  const int x = nav.CurrentPos();

  ASSERT_TRUE(nav.LeaveElement());
  EXPECT_EQ(CurrentStart(nav), 3);  // a again
  EXPECT_EQ(nav.ChildPos(), x);
  ASSERT_TRUE(nav.EnterElement());  // back on x
  EXPECT_EQ(nav.CurrentPos(), x);
  EXPECT_FALSE(nav.FindElement(u"x"));  // nothing after x

  ASSERT_TRUE(nav.LeaveElement());
  ASSERT_TRUE(nav.LeaveElement());
  EXPECT_EQ(CurrentStart(nav), 0);  // r
  EXPECT_EQ(nav.ParentPos(), 0);
  ASSERT_TRUE(nav.EnterElement());
  EXPECT_EQ(CurrentStart(nav), 3);  // a, remembered when leaving it
  ASSERT_TRUE(nav.FindElement(u"b"));
}

TEST(XmlEnterLeaveTest, EveryTopLevelElementCanBeFoundAndEntered) {
  CXmlNavigator nav;
  EXPECT_FALSE(nav.ParseText(u"<a><x>1</x></a><b><y>2</y></b><a><z>3</z></a>"));
  const std::vector<std::pair<const char16_t*, const char16_t*>> path = {
      {u"a", u"x"}, {u"b", u"y"}, {u"a", u"z"}};
  for (const auto& [outer, inner] : path) {
    SCOPED_TRACE(Readable(outer));
    ASSERT_TRUE(nav.FindElement(outer));
    ASSERT_TRUE(nav.EnterElement());
    ASSERT_TRUE(nav.FindElement(inner));
    EXPECT_FALSE(nav.GetElementData(nav.CurrentPos()).empty());
    ASSERT_TRUE(nav.LeaveElement());
  }
  EXPECT_FALSE(nav.FindElement(u""));
}

TEST(XmlGetAttributeTest, ReadsValuesAsTheTagWritesThem) {
  struct Case {
    std::u16string text;
    const char16_t* name;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"<e k = \"v\">", u"k", u"v"},
      {u"<e k>", u"k", u"k"},
      {u"<e k=v/>", u"k", u"v/"},
      {u"<e a=\"1\" b='2' c=3 d>", u"a", u"1"},
      {u"<e a=\"1\" b='2' c=3 d>", u"b", u"2"},
      {u"<e a=\"1\" b='2' c=3 d>", u"c", u"3"},
      {u"<e a=\"1\" b='2' c=3 d>", u"d", u"d"},
      {u"<e a=\"1\" b='2' c=3 d>", u"x", u""},
      {u"<e a=\"x&amp;y&#65;&lt;\"/>", u"a", u"x&yA<"},
      {u"<e a='say \"hi\"'/>", u"a", u"say \"hi\""},
      {u"<e a=\"\"/>", u"a", u""},
      {u"<e ab=\"1\" a=\"2\"/>", u"a", u"2"},
      {u"<e A=\"1\"/>", u"a", u""},
      {u"<e e=\"1\"/>", u"e", u"1"},  // the tag name itself is never an attribute
      {u"<e/>", u"e", u""},
      {u"<e k \"v\">", u"k", u"k"},
      {u"<e k=\"1\" k=\"2\">", u"k", u"1"},
      {u"<e k=a=b?c>", u"k", u"a=b?c"},
      {u"<e\n\tk\r\n=\n'v'>", u"k", u"v"},
      {u"<e k x=\"1\">", u"x", u"1"},
      {u"<e a=\"1\">b=\"2\"</e>", u"b", u""},
      {u"<e 'x>' c=\"1\">", u"c", u""},  // the scan stays inside the start tag
      {u"<e a=\"1\"/>", nullptr, u""},
      {u"<e a=\"1\"/>", u"", u""},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.text) + " " + (row.name ? Readable(row.name) : "(none)"));
    CXmlNavigator nav;
    nav.ParseText(row.text);
    ASSERT_TRUE(nav.FindElement(u"e"));
    const int before = nav.CurrentPos();
    EXPECT_EQ(nav.GetAttribute(nav.CurrentPos(), row.name), row.expected);
    EXPECT_EQ(nav.CurrentPos(), before);
    // Again once the whole tag has been read for a name it lacks.
    EXPECT_EQ(nav.GetAttribute(nav.CurrentPos(), u"absent"), u"");
    EXPECT_EQ(nav.GetAttribute(nav.CurrentPos(), row.name), row.expected);
  }
}

TEST(XmlGetAttributeTest, NeedsAValidIndexAndACurrentElement) {
  CXmlNavigator nav;
  nav.ParseText(u"<e a=\"1\"/>");
  EXPECT_EQ(nav.GetAttribute(1, u"a"), u"");  // no current element yet
  ASSERT_TRUE(nav.FindElement(u"e"));
  EXPECT_EQ(nav.GetAttribute(1, u"a"), u"1");
  for (int index : {0, -1, 2, 99, 1 << 20}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(nav.GetAttribute(index, u"a"), u"");
    EXPECT_EQ(nav.GetElementData(index), u"");
  }
}

TEST(XmlGetElementDataTest, TextOfElementsWithoutChildren) {
  struct Case {
    std::u16string text;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"<a> x &amp; y </a>", u" x & y "},
      {u"<a>1<![CDATA[<2>]]>3</a>", u"1<2>3"},
      {u"<a><![CDATA[&amp;]]></a>", u"&amp;"},
      {u"<a><b/>t</a>", u""},
      {u"<a/>", u""},
      {u"<a></a>", u""},
      {u"<a>x<!--c-->y<?p?>z</a>", u"xyz"},
      {u"<a> <!--c--> </a>", u""},
      {u"<a>x <!--c--> y</a>", u"x  y"},
      {u"<a>&lt;b&gt;</a>", u"<b>"},
      {u"<a>a>b</a>", u"a>b"},
      {u"<a>a>b<!---->c</a>", u"a>bc"},
      {u"<a>a> <!---->b</a>", u"a> b"},  // the space is the rest of the text "a> "
      {u"<a>a>\n<![CDATA[b]]></a>", u"a>\nb"},
      {u"<a>x<![C]]>y</a>", u"xy"},  // too short to hold a CDATA section's text
      {u"<a>x</b>y</a>", u"xy"},
      {u"<a>\r\n\t</a>", u"\r\n\t"},
      {u"<a>&#x1F600;</a>", u"\xD83D\xDE00"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.text));
    CXmlNavigator nav;
    nav.ParseText(row.text);
    ASSERT_TRUE(nav.FindElement(u"a"));
    EXPECT_EQ(Readable(nav.GetElementData(nav.CurrentPos())), Readable(row.expected));
  }
}

TEST(XmlGetElementDataTest, UnendedElementsHaveNoContent) {
  CXmlNavigator nav;
  nav.ParseText(u"<r><a>t</r>");
  ASSERT_TRUE(nav.FindElement(u"r"));
  EXPECT_EQ(nav.GetElementData(nav.CurrentPos()), u"");  // r has a child
  ASSERT_TRUE(nav.EnterElement());
  ASSERT_TRUE(nav.FindElement(u"a"));
  EXPECT_EQ(nav.GetElementData(nav.CurrentPos()), u"");
  EXPECT_EQ(nav.GetElementData(0), u"");
}

}  // namespace
}  // namespace vexo
