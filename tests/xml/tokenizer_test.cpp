// The tokenizer and the word and attribute scanners.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/xml/xml_test_util.h"
#include "xml/xml_token.h"

namespace vexo {
namespace {

using xml_test::Readable;

struct Token {
  int kind;
  std::u16string text;
  bool operator==(const Token&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Token& token) {
  return out << "{" << token.kind << ", \"" << Readable(token.text) << "\"}";
}

struct Tokenized {
  std::vector<Token> tokens;
  std::u16string errors;
};

Tokenized Tokenize(const std::u16string& text) {
  Tokenized result;
  TokenScanner scanner(text, 0);
  TokenInfo info;
  for (int guard = 0; guard < 100; ++guard) {
    const std::uint32_t before = scanner.next;
    const int kind = NextToken(scanner, info);
    EXPECT_EQ(info.kind, kind);
    EXPECT_EQ(info.start, before);
    EXPECT_EQ(info.start + info.length, scanner.next);
    if (kind == TOKEN_END_OF_TEXT) {
      EXPECT_EQ(info.length, 0u);
      break;
    }
    EXPECT_GT(info.length, 0u);
    result.tokens.push_back({kind, text.substr(info.start, info.length)});
  }
  result.errors = info.errors;
  return result;
}

struct TokenCase {
  std::u16string text;
  std::vector<Token> tokens;
  std::u16string errors;
};

void RunCases(const std::vector<TokenCase>& cases) {
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.text));
    const Tokenized result = Tokenize(row.text);
    EXPECT_EQ(result.tokens, row.tokens);
    EXPECT_EQ(Readable(result.errors), Readable(row.errors));
  }
}

TEST(XmlNextTokenTest, TextAndWhiteSpace) {
  RunCases({
      {u"", {}, u""},
      {u"hello", {{NODE_TEXT, u"hello"}}, u""},
      {u"a>b", {{NODE_TEXT, u"a>"}, {NODE_TEXT, u"b"}}, u""},
      {u" \t\r\n", {{NODE_WHITESPACE, u" \t\r\n"}}, u""},
      {u"  <a>", {{NODE_WHITESPACE, u"  "}, {NODE_ELEMENT, u"<a>"}}, u""},
      {u"  x <a>", {{NODE_TEXT, u"  x "}, {NODE_ELEMENT, u"<a>"}}, u""},
      {u" >x", {{NODE_TEXT, u" >"}, {NODE_TEXT, u"x"}}, u""},
      {u"\uFEFF<r/>", {{NODE_TEXT, u"\uFEFF"}, {NODE_ELEMENT, u"<r/>"}}, u""},
  });
}

TEST(XmlNextTokenTest, StartAndEndTags) {
  RunCases({
      {u"<a b='>'/>", {{NODE_ELEMENT, u"<a b='>'/>"}}, u""},
      {u"<a b = \"x>y\">", {{NODE_ELEMENT, u"<a b = \"x>y\">"}}, u""},
      // A quote opens a value only after "=", and "==" does not count as one.
      {u"<a b'>'c>", {{NODE_ELEMENT, u"<a b'>"}, {NODE_TEXT, u"'c>"}}, u""},
      {u"<a b==\"x>y\">", {{NODE_ELEMENT, u"<a b==\"x>"}, {NODE_TEXT, u"y\">"}}, u""},
      {u"<a b=\"it's\">", {{NODE_ELEMENT, u"<a b=\"it's\">"}}, u""},
      {u"<a <b>", {{NODE_ELEMENT, u"<a <b>"}}, u""},  // "<" inside a tag is a unit like others
      {u"</a >x", {{NODE_END_TAG, u"</a >"}, {NODE_TEXT, u"x"}}, u""},
      {u"</a <b>", {{NODE_END_TAG, u"</a <b>"}}, u""},
      {u"<\u00E9/><{x>", {{NODE_ELEMENT, u"<\u00E9/>"}, {NODE_ELEMENT, u"<{x>"}}, u""},
  });
}

TEST(XmlNextTokenTest, EmptyElementTagNeedsNameSpaceOrQuoteBeforeSlash) {
  struct Case {
    std::u16string text;
    bool empty;
  };
  const std::vector<Case> cases = {
      {u"<a/>", true},       {u"<a />", true},  {u"<a b=\"1\"/>", true}, {u"<a b='1'/>", true},
      {u"<a b='>'/>", true}, {u"<a\n/>", true}, {u"<a b=x/>", false},    {u"<a b/>", false},
      {u"<a/ >", false},     {u"<a>", false},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.text));
    TokenScanner scanner(row.text, 0);
    TokenInfo info;
    ASSERT_EQ(NextToken(scanner, info), NODE_ELEMENT);
    EXPECT_EQ(info.length, row.text.size());
    EXPECT_EQ((info.flags & TOKEN_EMPTY_ELEMENT) != 0, row.empty);
    EXPECT_EQ(scanner.Word(), u"a");
  }
}

TEST(XmlNextTokenTest, TagNamesBecomeTheScannersWord) {
  struct Case {
    std::u16string text;
    int kind;
    std::u16string name;
  };
  const std::vector<Case> cases = {
      {u"<ns:a b='1'>", NODE_ELEMENT, u"ns:a"},
      {u"<a\tb>", NODE_ELEMENT, u"a"},
      {u"<a=b>", NODE_ELEMENT, u"a=b"},
      {u"</ns:a>", NODE_END_TAG, u"ns:a"},
      {u"</a/>", NODE_END_TAG, u"a"},
      {u"</>", NODE_END_TAG, u""},
      {u"<?xml version='1.0'?>", NODE_PROCESSING_INSTRUCTION, u"xml"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.text));
    TokenScanner scanner(row.text, 0);
    TokenInfo info;
    EXPECT_EQ(NextToken(scanner, info), row.kind);
    EXPECT_EQ(scanner.Word(), row.name);
  }
}

TEST(XmlNextTokenTest, CommentsCdataInstructionsAndDocumentTypes) {
  RunCases({
      {u"<!---->", {{NODE_COMMENT, u"<!---->"}}, u""},
      {u"<!-->x", {{NODE_COMMENT, u"<!-->"}, {NODE_TEXT, u"x"}}, u""},
      {u"<!-- a > b -- c -->", {{NODE_COMMENT, u"<!-- a > b -- c -->"}}, u""},
      {u"<![CDATA[x]]>", {{NODE_CDATA_SECTION, u"<![CDATA[x]]>"}}, u""},
      {u"<![CDATA[a>b]]]>", {{NODE_CDATA_SECTION, u"<![CDATA[a>b]]]>"}}, u""},
      {u"<![C]]>", {{NODE_CDATA_SECTION, u"<![C]]>"}}, u""},  // only "<![C" is examined
      {u"<?xml version=\"1.0\" encoding=\"utf-8\"?>",
       {{NODE_PROCESSING_INSTRUCTION, u"<?xml version=\"1.0\" encoding=\"utf-8\"?>"}},
       u""},
      {u"<?>x?>", {{NODE_PROCESSING_INSTRUCTION, u"<?>x?>"}}, u""},
      {u"<!DOCTYPE r [<!ENTITY e 'v'>]>",
       {{NODE_DOCUMENT_TYPE, u"<!DOCTYPE r [<!ENTITY e 'v'>]>"}},
       u""},
      {u"<!DOCTYPE r SYSTEM \"a>b\"><r/>",
       {{NODE_DOCUMENT_TYPE, u"<!DOCTYPE r SYSTEM \"a>b\">"}, {NODE_ELEMENT, u"<r/>"}},
       u""},
      {u"<!DOCTYPE r [<!-- > --><?pi > ?><!ATTLIST r a CDATA '>'>]>",
       {{NODE_DOCUMENT_TYPE, u"<!DOCTYPE r [<!-- > --><?pi > ?><!ATTLIST r a CDATA '>'>]>"}},
       u""},
  });
}

TEST(XmlNextTokenTest, SyntaxErrorsMakeMalformedTokensWithRecords) {
  RunCases({
      {u"<1a>", {{TOKEN_MALFORMED, u"<1a>"}}, u"<first_tag_syntax offset=\"0\"/>"},
      {u"x< a>",
       {{NODE_TEXT, u"x"}, {TOKEN_MALFORMED, u"< a>"}},
       u"<first_tag_syntax offset=\"1\"/>"},
      {u"<<a>",
       {{TOKEN_MALFORMED, u"<"}, {NODE_ELEMENT, u"<a>"}},
       u"<first_tag_syntax offset=\"0\"/>"},
      {u"<!x>", {{TOKEN_MALFORMED, u"<!x>"}}, u"<exclamation_tag_syntax offset=\"0\"/>"},
      {u"<!-x>", {{TOKEN_MALFORMED, u"<!-x>"}}, u"<comment_tag_syntax offset=\"0\"/>"},
      {u"<![X[y]]>", {{TOKEN_MALFORMED, u"<![X[y]]>"}}, u"<cdata_section_syntax offset=\"0\"/>"},
      {u"<!DOCTYPE r [<!X>]><r/>",
       {{TOKEN_MALFORMED, u"<!DOCTYPE r [<!X>"}, {NODE_TEXT, u"]>"}, {NODE_ELEMENT, u"<r/>"}},
       u"<doctype_tag_syntax offset=\"0\"/>"},
      {u"<!DOCTYPE r [<r>]>",
       {{TOKEN_MALFORMED, u"<!DOCTYPE r [<r>"}, {NODE_TEXT, u"]>"}},
       u"<doctype_tag_syntax offset=\"0\"/>"},
      // Malformed tokens keep quoted values whole, but end at any "<".
      {u"<1 a='x>y'>z",
       {{TOKEN_MALFORMED, u"<1 a='x>y'>"}, {NODE_TEXT, u"z"}},
       u"<first_tag_syntax offset=\"0\"/>"},
      {u"<1 a='x<y'>",
       {{TOKEN_MALFORMED, u"<1 a='x"}, {NODE_ELEMENT, u"<y'>"}},
       u"<first_tag_syntax offset=\"0\"/>"},
      {u"<@x", {{TOKEN_MALFORMED, u"<@x"}}, u"<first_tag_syntax offset=\"0\"/>"},
  });
}

TEST(XmlNextTokenTest, TextEndingInsideMarkupIsUnterminated) {
  const auto unterminated = [](std::u16string_view type, int offset) {
    return u"<unterminated_tag_syntax type=\"" + std::u16string(type) + u"\" offset=\"" +
           std::u16string(1, static_cast<char16_t>(u'0' + offset)) + u"\"/>";
  };
  RunCases({
      {u"<", {{TOKEN_MALFORMED, u"<"}}, unterminated(u"tag", 0)},
      {u"<!", {{TOKEN_MALFORMED, u"<!"}}, unterminated(u"tag", 0)},
      {u"<!-", {{TOKEN_MALFORMED, u"<!-"}}, unterminated(u"tag", 0)},
      {u"<![", {{TOKEN_MALFORMED, u"<!["}}, unterminated(u"tag", 0)},
      {u"x<a", {{NODE_TEXT, u"x"}, {TOKEN_MALFORMED, u"<a"}}, unterminated(u"start_tag", 1)},
      {u"<a b='>", {{TOKEN_MALFORMED, u"<a b='>"}}, unterminated(u"start_tag", 0)},
      {u"</a", {{TOKEN_MALFORMED, u"</a"}}, unterminated(u"end_tag", 0)},
      {u"<!-- x", {{TOKEN_MALFORMED, u"<!-- x"}}, unterminated(u"comment", 0)},
      {u"<![CDATA[x]>", {{TOKEN_MALFORMED, u"<![CDATA[x]>"}}, unterminated(u"cdata_section", 0)},
      {u"<?>", {{TOKEN_MALFORMED, u"<?>"}}, unterminated(u"processing_instruction", 0)},
      {u"<!DOCTYPE r", {{TOKEN_MALFORMED, u"<!DOCTYPE r"}}, unterminated(u"document_type", 0)},
      {u"<!DOCTYPE r [<!-- >",
       {{TOKEN_MALFORMED, u"<!DOCTYPE r [<!-- >"}},
       unterminated(u"document_type", 0)},
      {u"<!D", {{TOKEN_MALFORMED, u"<!D"}}, unterminated(u"document_type", 0)},
  });
}

TEST(XmlNextTokenTest, StopsAtTheScannersEnd) {
  const std::u16string text = u"<a>xy</a>";
  TokenScanner scanner(std::u16string_view(text).substr(0, 5), 3);
  TokenInfo info;
  EXPECT_EQ(NextToken(scanner, info), NODE_TEXT);
  EXPECT_EQ(info.length, 2u);
  EXPECT_EQ(NextToken(scanner, info), TOKEN_END_OF_TEXT);
  EXPECT_EQ(scanner.next, 5u);
}

TEST(XmlNextWordTest, SkipsSpaceAndSplitsAtDelimiters) {
  const std::u16string text = u"  abc=\"x y\"/>;q\\r";
  TokenScanner scanner(text, 0);
  std::vector<std::u16string> words;
  while (NextWord(scanner)) {
    words.emplace_back(scanner.Word());
  }
  const std::vector<std::u16string> expected = {u"abc", u"=", u"\"", u"x", u"y",  u"\"",
                                                u"/",   u">", u";",  u"q", u"\\", u"r"};
  EXPECT_EQ(words, expected);
}

TEST(XmlMatchNameTest, WordMustBeTheWholeNameOrEndBeforeADelimiter) {
  const std::u16string text = u"item";
  TokenScanner scanner(text, 0);
  ASSERT_TRUE(NextWord(scanner));
  struct Case {
    std::u16string name;
    bool matches;
  };
  const std::vector<Case> cases = {
      {u"item", true},  {u"item[2]", true}, {u"item/x", true}, {u"item x", true}, {u"item=1", true},
      {u"item]", true}, {u"items", false},  {u"Item", false},  {u"ite", false},   {u"", false},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.name));
    EXPECT_EQ(MatchName(scanner, row.name), row.matches);
  }
}

TEST(XmlFindAttributeInTagTest, ReportsQuotingValuelessNamesAndWhereTheTagEnded) {
  const std::u16string tag = u"<e a=\"1\" b='2' c=3 d k  />";
  struct Case {
    std::u16string name;
    bool found;
    std::u16string word;
    bool quoted;
  };
  const std::vector<Case> cases = {
      {u"a", true, u"1", true},  {u"b", true, u"2", true},  {u"c", true, u"3", false},
      {u"d", true, u"d", false}, {u"k", true, u"k", false}, {u"e", false, u"", false},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.name));
    TokenScanner scanner(tag, 1);
    ASSERT_EQ(FindAttributeInTag(scanner, row.name), row.found);
    if (row.found) {
      EXPECT_EQ(scanner.Word(), row.word);
      EXPECT_EQ((scanner.flags & SCANNER_QUOTED) != 0, row.quoted);
    } else {
      EXPECT_EQ(scanner.next, tag.find(u"k") + 1);  // after the last word, before the space
    }
  }
}

}  // namespace
}  // namespace vexo
