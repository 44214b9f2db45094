// Code-page conversions behave as the Windows calls with flags 0 on both builds.
#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace vexo::platform {
namespace {

struct NarrowCase {
  const char* name;
  uint32_t codePage;
  std::u16string wide;
  std::string narrow;
};

TEST(CodePage, RoundTripsInNumberedCodePages) {
  const NarrowCase cases[] = {
      {"utf8 ascii", kCodePageUtf8, u"abc", "abc"},
      {"utf8 two-byte", kCodePageUtf8, u"\u00e9", "\xC3\xA9"},
      {"utf8 surrogate pair", kCodePageUtf8, u"\U0001F600", "\xF0\x9F\x98\x80"},
      {"gbk two-byte characters", 936, u"\u53d1\u73b0", "\xB7\xA2\xCF\xD6"},
      {"latin-1 windows", 1252, u"\u00e9\u20ac", "\xE9\x80"},
      {"embedded zero", kCodePageUtf8, std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
      {"empty", 936, u"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string narrow = "poison";
    uint32_t error = 0;
    ASSERT_TRUE(WideToNarrow(c.codePage, c.wide, narrow, error));
    EXPECT_EQ(narrow, c.narrow);
    std::u16string wide = u"poison";
    ASSERT_TRUE(NarrowToWide(c.codePage, c.narrow, wide, error));
    EXPECT_EQ(wide, c.wide);
  }
}

TEST(CodePage, UnconvertibleCharactersAreReplacedNotReported) {
  std::string narrow;
  uint32_t error = 0;
  ASSERT_TRUE(WideToNarrow(1252, u"a\u53d1b\U0001F600c", narrow, error));
  EXPECT_EQ(narrow, "a?b?c");
  ASSERT_TRUE(WideToNarrow(kCodePageUtf8, u"x\xD800y", narrow, error));
  EXPECT_EQ(narrow, "x\xEF\xBF\xBDy");  // a lone surrogate becomes U+FFFD
}

TEST(CodePage, InvalidBytesBecomeTheReplacementCharacter) {
  std::u16string wide;
  uint32_t error = 0;
  ASSERT_TRUE(NarrowToWide(kCodePageUtf8,
                           "a\xFF"
                           "b\xC3",
                           wide, error));
  EXPECT_EQ(wide, u"a\uFFFDb\uFFFD");
}

TEST(CodePage, UnknownCodePageFailsWithInvalidParameter) {
  std::string narrow = "poison";
  uint32_t error = 0;
  EXPECT_FALSE(WideToNarrow(12345, u"abc", narrow, error));
  EXPECT_EQ(error, kErrorInvalidParameter);
  EXPECT_TRUE(narrow.empty());
  std::u16string wide = u"poison";
  error = 0;
  EXPECT_FALSE(NarrowToWide(12345, "abc", wide, error));
  EXPECT_EQ(error, kErrorInvalidParameter);
}

}  // namespace
}  // namespace vexo::platform
