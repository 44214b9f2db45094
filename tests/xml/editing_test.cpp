// Adding elements and setting attributes in place: the text and every record stay in step.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/xml/xml_test_util.h"
#include "xml/xml_navigator.h"

namespace vexo {
namespace {

using xml_test::Readable;

// The element tree in document order, as the links describe it, with every field that must agree
// with a fresh parse of the same text.
struct Node {
  std::uint32_t start, length, startTag, endTag, level, flags, depth;
  bool operator==(const Node&) const = default;
};

std::vector<Node> Tree(const CXmlNavigator& nav) {
  std::vector<Node> nodes;
  std::vector<std::uint32_t> pending;  // iterative: nesting may be deep
  std::uint32_t child = nav.Position(0)->firstChild;
  std::uint32_t depth = 0;
  while (child != 0 || !pending.empty()) {
    if (child == 0) {
      child = nav.Position(static_cast<int>(pending.back()))->nextSibling;
      pending.pop_back();
      --depth;
      continue;
    }
    const ElementPosition& r = *nav.Position(static_cast<int>(child));
    nodes.push_back({r.start, r.length, r.StartTagLength(), r.EndTagLength(), r.Level(),
                     r.levelFlags & 0xFFFF0000u, depth});
    pending.push_back(child);
    ++depth;
    child = r.firstChild;
  }
  return nodes;
}

void ExpectSameAsFreshParse(const CXmlNavigator& edited) {
  CXmlNavigator fresh;
  fresh.ParseText(edited.Text());
  EXPECT_EQ(edited.Position(0)->length, edited.Text().size());
  const std::vector<Node> editedTree = Tree(edited);
  const std::vector<Node> freshTree = Tree(fresh);
  ASSERT_EQ(editedTree.size(), freshTree.size());
  for (std::size_t i = 0; i < editedTree.size(); ++i) {
    ASSERT_EQ(editedTree[i], freshTree[i]) << "node " << i;
  }
}

TEST(XmlSetAttributeTest, AppendsAttributesBeforeTheTagEnd) {
  CXmlNavigator nav;
  nav.ParseText(u"<lone_end_tag/>");
  ASSERT_TRUE(nav.FindElement(u"lone_end_tag"));
  EXPECT_TRUE(nav.SetAttribute(nav.CurrentPos(), u"tagname", u"b", 0));
  EXPECT_TRUE(nav.SetAttribute(nav.CurrentPos(), u"offset", u"12", 0));
  EXPECT_EQ(nav.Text(), u"<lone_end_tag tagname=\"b\" offset=\"12\"/>");
  ExpectSameAsFreshParse(nav);
  EXPECT_EQ(nav.GetAttribute(nav.CurrentPos(), u"offset"), u"12");
}

TEST(XmlSetAttributeTest, ReplacesValuesAndMovesEveryFollowingRecord) {
  struct Case {
    std::u16string text;
    const char16_t* name;
    const char16_t* value;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"<r><e a='1' b=\"2\">t<i/></e><f/></r>", u"a", u"x\"y",
       u"<r><e a=\"x&quot;y\" b=\"2\">t<i/></e><f/></r>"},
      {u"<r><e a=\"long value\">t</e><f/></r>", u"a", u"", u"<r><e a=\"\">t</e><f/></r>"},
      {u"<r><e a=1 b=\"2\"/><f/></r>", u"a", u"<&>",
       u"<r><e a=\"&lt;&amp;&gt;\" b=\"2\"/><f/></r>"},
      {u"<r><e k />x</r>", u"k", u"v", u"<r><e k=\"v\" />x</r>"},
      {u"<r><e>t</e></r>", u"n", u"1", u"<r><e n=\"1\">t</e></r>"},
      {u"<r><e\n>t</e></r>", u"n", nullptr, u"<r><e n=\"\"\n>t</e></r>"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.text));
    CXmlNavigator nav;
    nav.ParseText(row.text);
    ASSERT_TRUE(nav.FindElement(u"r"));
    ASSERT_TRUE(nav.EnterElement());
    ASSERT_TRUE(nav.FindElement(u"e"));
    (void)nav.GetAttribute(nav.CurrentPos(), row.name);  // the value before, read and kept
    EXPECT_TRUE(nav.SetAttribute(nav.CurrentPos(), row.name, row.value, 0));
    EXPECT_EQ(Readable(nav.Text()), Readable(row.expected));
    ExpectSameAsFreshParse(nav);
    EXPECT_EQ(nav.GetAttribute(nav.CurrentPos(), row.name), row.value ? row.value : u"");
  }
}

TEST(XmlSetAttributeTest, NeedsACurrentElement) {
  CXmlNavigator nav;
  nav.ParseText(u"<e/>");
  EXPECT_FALSE(nav.SetAttribute(1, u"a", u"1", 0));
  ASSERT_TRUE(nav.FindElement(u"e"));
  EXPECT_FALSE(nav.SetAttribute(0, u"a", u"1", 0));
  EXPECT_FALSE(nav.SetAttribute(7, u"a", u"1", 0));
  EXPECT_FALSE(nav.SetAttribute(1, nullptr, u"1", 0));
  EXPECT_EQ(nav.Text(), u"<e/>");
}

TEST(XmlSetAttributeTest, KeepsDeeplyNestedRecordsInStep) {
  constexpr int kDepth = 60000;
  std::u16string text;
  for (int i = 0; i < kDepth; ++i) {
    text += u"<a>";
  }
  text += u"t";
  for (int i = 0; i < kDepth; ++i) {
    text += u"</a>";
  }
  text += u"<!-- tail -->";
  CXmlNavigator nav;
  ASSERT_TRUE(nav.ParseText(text));
  ASSERT_TRUE(nav.FindElement(u"a"));
  ASSERT_TRUE(nav.SetAttribute(nav.CurrentPos(), u"x", u"1", 0));
  ExpectSameAsFreshParse(nav);
}

TEST(XmlAddElementTest, InsertsAfterTheCurrentElementOrAtTheEndOfTheParent) {
  struct Case {
    std::u16string text;
    std::vector<const char16_t*> path;  // found and entered in turn; the last one only found
    const char16_t* name;
    const char16_t* content;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"<a/>", {}, u"b", nullptr, u"<a/><b/>"},
      {u"", {}, u"b", nullptr, u"<b/>"},
      {u"<r><a/><c/></r>", {u"r", u"a"}, u"b", u"x<y", u"<r><a/><b>x&lt;y</b><c/></r>"},
      {u"<r><a/><c/></r> ", {u"r", u"c"}, u"d", nullptr, u"<r><a/><c/><d/></r> "},
      {u"<r><a/></r>", {u"r", nullptr}, u"b", nullptr, u"<r><a/><b/></r>"},
      {u"<r></r><s/>", {u"r", nullptr}, u"b", u"", u"<r><b></b></r><s/>"},
      {u"<q><r><a/></r><t/></q>",
       {u"q", u"r", nullptr},
       u"b",
       nullptr,
       u"<q><r><a/><b/></r><t/></q>"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.text));
    CXmlNavigator nav;
    nav.ParseText(row.text);
    for (std::size_t i = 0; i < row.path.size(); ++i) {
      if (row.path[i] == nullptr) {
        break;
      }
      ASSERT_TRUE(nav.FindElement(row.path[i]));
      if (i + 1 < row.path.size()) {
        ASSERT_TRUE(nav.EnterElement());
      }
    }
    const int parent = nav.ParentPos();
    ASSERT_TRUE(nav.AddElement(row.name, row.content, CXmlNavigator::ADD_NO_LINE_BREAKS));
    EXPECT_EQ(Readable(nav.Text()), Readable(row.expected));
    EXPECT_EQ(nav.ParentPos(), parent);
    EXPECT_EQ(nav.GetElementData(nav.CurrentPos()), row.content ? row.content : u"");
    ExpectSameAsFreshParse(nav);
  }
}

TEST(XmlAddElementTest, RefusesWhatCannotBeWritten) {
  CXmlNavigator nav;
  nav.ParseText(u"<r/>");
  ASSERT_TRUE(nav.FindElement(u"r"));
  ASSERT_TRUE(nav.EnterElement());
  EXPECT_FALSE(nav.AddElement(u"b", nullptr, 0));  // r has no content to add to
  EXPECT_FALSE(nav.AddElement(nullptr, nullptr, 0));
  EXPECT_FALSE(nav.AddElement(u"", nullptr, 0));
  EXPECT_EQ(nav.Text(), u"<r/>");
}

}  // namespace
}  // namespace vexo
