// Character references, entity references, escapes and UTF-16 encoding.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/xml/xml_test_util.h"
#include "xml/xml_escape.h"

namespace vexo {
namespace {

using xml_test::Readable;

struct UnescapeCase {
  std::u16string text;
  std::u16string expected;
};

TEST(XmlUnescapeTest, ReplacesReferencesAndKeepsWhatIsNoReference) {
  const std::vector<UnescapeCase> cases = {
      {u"&lt;&gt;&amp;&quot;&apos;", u"<>&\"'"},
      {u"&#65;", u"A"},
      {u"&#x41;", u"A"},
      {u"&#X41;", u"A"},
      {u"&#128512;", u"\xD83D\xDE00"},
      {u"&#x10FFFF;", u"\xDBFF\xDFFF"},
      {u"&AMP;", u"&"},
      {u"&nbsp;&copy;&euro;&diams;", u"\u00A0\u00A9\u20AC\u2666"},
      {u"&thetasym;", u"\u03D1"},  // the longest names have eight units
      {u"&bogus;", u"&bogus;"},
      {u"&#0;", u"&#0;"},
      {u"&#x;", u"&#x;"},
      {u"&#;", u"&#;"},
      {u"&;", u"&;"},
      {u"& amp;", u"& amp;"},
      {u"a & b", u"a & b"},
      {u"&#0000065;", u"A"},             // ";" is the ninth unit after "&"
      {u"&#00000065;", u"&#00000065;"},  // ";" is the tenth
      {u"&l\u00E9;", u"&l\u00E9;"},      // names are ASCII
      {u"&&amp;", u"&&"},
      {u"&amp;amp;", u"&amp;"},  // decoded once
      {u"&# 65;&#+65;", u"AA"},  // white space and a sign before the digits
      {u"&#65x;", u"A"},         // digits up to the first other unit
      {u"x &lt; y &gt; z", u"x < y > z"},
      {u"plain text", u"plain text"},
      {u"", u""},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.text));
    EXPECT_EQ(UnescapeText(row.text), row.expected);
  }
}

// A numeric reference to no Unicode scalar value is no character: it stays as written instead of
// being cut down to some other character.
TEST(XmlUnescapeTest, NumericReferencesToNoScalarValueStayLiteral) {
  for (const std::u16string text : {u"&#-65;", u"&#x-41;", u"&#xD800;", u"&#xDFFF;", u"&#55296;",
                                    u"&#x110000;", u"&#1114112;", u"&#x7FFFFFF;"}) {
    SCOPED_TRACE(Readable(text));
    EXPECT_EQ(UnescapeText(text), text);
  }
  EXPECT_EQ(UnescapeText(u"&#xD7FF;&#xE000;"), u"\uD7FF\uE000");
}

// HTML spells some names in a capital and a small form for different characters.
TEST(XmlUnescapeTest, NameInTwoCasesYieldsTheCaseWritten) {
  const std::vector<UnescapeCase> cases = {
      {u"&eacute;", u"\u00E9"}, {u"&Eacute;", u"\u00C9"}, {u"&EACUTE;", u"\u00C9"},
      {u"&sigma;", u"\u03C3"},  {u"&Sigma;", u"\u03A3"},  {u"&dagger;", u"\u2020"},
      {u"&Dagger;", u"\u2021"}, {u"&prime;", u"\u2032"},  {u"&Prime;", u"\u2033"},
      {u"&larr;", u"\u2190"},   {u"&lArr;", u"\u21D0"},   {u"&thorn;", u"\u00FE"},
      {u"&THORN;", u"\u00DE"},  {u"&oelig;", u"\u0153"},  {u"&OElig;", u"\u0152"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.text));
    EXPECT_EQ(UnescapeText(row.text), row.expected);
  }
}

TEST(XmlUnescapeTest, ReadsOnlyTheGivenLength) {
  const char16_t text[] = u"a&amp;b&lt;";
  EXPECT_EQ(UnescapeText(text, 5), u"a&amp");  // the reference is cut off
  EXPECT_EQ(UnescapeText(text, 6), u"a&");
  EXPECT_EQ(UnescapeText(text, 0), u"");
  EXPECT_EQ(UnescapeText(text, -1), u"a&b<");
  EXPECT_EQ(UnescapeText(nullptr, -1), u"");
}

TEST(XmlEscapeTest, EscapesMarkupAndOnRequestQuotes) {
  struct Case {
    std::u16string text;
    unsigned options;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"a<b&c>d", 0, u"a&lt;b&amp;c&gt;d"},
      {u"'\"", 0, u"'\""},
      {u"'\"", ESCAPE_QUOTES, u"&apos;&quot;"},
      {u"<'&\">", ESCAPE_QUOTES, u"&lt;&apos;&amp;&quot;&gt;"},
      {u"&amp;", 0, u"&amp;amp;"},
      {u"'\"", 0x2 | 0x40, u"'\""},  // other option bits are not ours
      {u"", ESCAPE_QUOTES, u""},
      {u"\u00E9\xD83D\xDE00", ESCAPE_QUOTES, u"\u00E9\xD83D\xDE00"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(Readable(row.text) + " options " + std::to_string(row.options));
    EXPECT_EQ(EscapeText(row.text, row.options), row.expected);
  }
}

TEST(XmlEscapeTest, EscapedTextUnescapesToTheOriginal) {
  const std::u16string text = u"<a href=\"x?a=1&b='2'\">&amp;</a>";
  EXPECT_EQ(UnescapeText(EscapeText(text, ESCAPE_QUOTES)), text);
  EXPECT_EQ(UnescapeText(EscapeText(text, 0)), text);
}

TEST(XmlEncodeUtf16CharTest, WritesOneOrTwoUnitsAndAdvances) {
  constexpr char16_t kPoison = 0xBEEF;
  struct Case {
    std::uint32_t codePoint;
    std::u16string units;
  };
  const std::vector<Case> cases = {
      {0x41, u"A"},
      {0xFFFF, u"\xFFFF"},
      {0x10000, u"\xD800\xDC00"},
      {0x1F600, u"\xD83D\xDE00"},
      {0x10FFFF, u"\xDBFF\xDFFF"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.codePoint);
    std::u16string buffer(6, kPoison);
    std::size_t position = 2;
    EncodeUtf16Char(row.codePoint, buffer.data(), position);
    EXPECT_EQ(position, 2 + row.units.size());
    EXPECT_EQ(buffer.substr(2, row.units.size()), row.units);
    EXPECT_EQ(buffer.substr(0, 2), std::u16string(2, kPoison));
    EXPECT_EQ(buffer[2 + row.units.size()], kPoison);

    std::size_t counted = 7;
    EncodeUtf16Char(row.codePoint, nullptr, counted);
    EXPECT_EQ(counted, 7 + row.units.size());
  }
}

// Entries "L" + "CCCC" + name, split out of a bucket.
std::vector<std::pair<std::u16string, std::uint32_t>> EntriesOf(std::u16string_view bucket) {
  std::vector<std::pair<std::u16string, std::uint32_t>> entries;
  std::size_t offset = 0;
  while (offset < bucket.size()) {
    EXPECT_LE(offset + 5, bucket.size());
    const std::size_t length = bucket[offset] - u'0';
    EXPECT_TRUE(length >= 2 && length <= 8) << length;
    std::uint32_t codePoint = 0;
    for (std::size_t i = 1; i <= 4; ++i) {
      EXPECT_TRUE(bucket[offset + i] >= u'0' && bucket[offset + i] <= u'9');
      codePoint = codePoint * 10 + (bucket[offset + i] - u'0');
    }
    entries.emplace_back(bucket.substr(offset + 5, length), codePoint);
    offset += 5 + length;
  }
  return entries;
}

TEST(XmlEntityTableTest, HoldsHtml4AndAposInHashedLowercaseBuckets) {
  EXPECT_TRUE(EntityBucket(-1).empty());
  EXPECT_TRUE(EntityBucket(kEntityBucketCount).empty());
  std::map<std::u16string, std::vector<std::uint32_t>> byName;
  int total = 0;
  for (int bucket = 0; bucket < kEntityBucketCount; ++bucket) {
    for (const auto& [name, codePoint] : EntriesOf(EntityBucket(bucket))) {
      SCOPED_TRACE(Readable(name));
      std::uint32_t sum = 0;
      for (char16_t unit : name) {
        EXPECT_TRUE((unit >= u'a' && unit <= u'z') || (unit >= u'0' && unit <= u'9'));
        sum += unit;
      }
      EXPECT_EQ(static_cast<int>(sum % kEntityBucketCount), bucket);
      EXPECT_GE(codePoint, 34u);
      EXPECT_LE(codePoint, 9830u);
      byName[name].push_back(codePoint);
      ++total;
    }
  }
  EXPECT_EQ(total, 253);
  int twice = 0;
  for (const auto& [name, codePoints] : byName) {
    EXPECT_LE(codePoints.size(), 2u);
    twice += codePoints.size() == 2 ? 1 : 0;
  }
  EXPECT_EQ(twice, 64);
  // The capital spelling comes first.
  EXPECT_EQ(byName[u"dagger"], (std::vector<std::uint32_t>{0x2021, 0x2020}));
  EXPECT_EQ(byName[u"eacute"], (std::vector<std::uint32_t>{0xC9, 0xE9}));
  EXPECT_EQ(byName[u"rarr"], (std::vector<std::uint32_t>{0x21D2, 0x2192}));
  EXPECT_EQ(byName[u"apos"], (std::vector<std::uint32_t>{39}));
  EXPECT_EQ(byName[u"quot"], (std::vector<std::uint32_t>{34}));
}

TEST(XmlEntityTableTest, LookupIgnoresCaseOfNamesSpelledOnce) {
  EXPECT_EQ(LookupEntity(u"hellip"), 0x2026u);
  EXPECT_EQ(LookupEntity(u"HELLIP"), 0x2026u);
  EXPECT_EQ(LookupEntity(u"alefsym"), 0x2135u);
  EXPECT_EQ(LookupEntity(u""), 0u);
  EXPECT_EQ(LookupEntity(u"toolongname"), 0u);
  EXPECT_EQ(LookupEntity(u"amp\u00E9"), 0u);
}

}  // namespace
}  // namespace vexo
