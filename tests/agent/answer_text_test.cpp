#include "agent/answer_text.h"

#include <gtest/gtest.h>

#include "agent/update_installation.h"

namespace vexo {
namespace {

TEST(AnswerText, IntegersReadLikeTheDecimalConversion) {
  const struct {
    std::u16string text;
    int32_t value;
  } cases[] = {
      {u"", 0},
      {u"abc", 0},
      {u"42", 42},
      {u"  \t\n42", 42},
      {u"+7", 7},
      {u"-1", -1},
      {u"12x", 12},
      {u"1 2", 1},
      {u"- 5", 0},
      {u"2147483647", 2147483647},
      {u"2147483648", 2147483647},
      {u"-2147483648", -2147483647 - 1},
      {u"-2147483649", -2147483647 - 1},
      {u"99999999999999999999999999", 2147483647},
      {u"007", 7},
      {u"\u0663", 0},  // digits of other scripts do not count
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
    EXPECT_EQ(AnswerInteger(c.text), c.value);
  }
}

TEST(AnswerText, DigestsCompareWithoutRegardToCase) {
  EXPECT_TRUE(EqualsIgnoringAsciiCase(u"d41d8cd98f00b204e9800998ecf8427e",
                                      u"D41D8CD98F00B204E9800998ECF8427E"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(u"d41d8", u"d41d8c"));
  EXPECT_FALSE(EqualsIgnoringAsciiCase(u"", u"d41d8cd98f00b204e9800998ecf8427e"));
}

TEST(VersionComparison, ComponentsCompareAsNumbers) {
  const struct {
    std::u16string a;
    std::u16string b;
    int result;
  } cases[] = {
      {u"1.0.6.0", u"1.0.6.0", 0},
      {u"1.0.10.0", u"1.0.6.0", 1},
      {u"1.0.6.0", u"1.0.10.0", -1},
      {u"2", u"1.9.9.9", 1},
      {u"1..2", u"1.2.0.0", 0},
      {u".1.2.", u"1.2", 0},
      {u"1.0.6", u"1.0.6.0", 0},
      {u"1.0.6.1", u"1.0.6.0", 1},
      {u"99999999999", u"2147483647", 0},  // long digit strings stop at the limit
      {u"1.2.3.4.5", u"1.0.6.0", -21},
      {u"1.a", u"1.0", -21},
      {u"+1", u"1.0", -21},
      {u"-1", u"1.0", -21},
      {u"", u"1.0", -21},
      {u"...", u"1.0", -21},
      {u"1.0.7.0", u"", -22},
      {u"x", u"y", -21},
      {u"1 .0", u"1.0", -21},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a.begin(), c.a.end()) + " vs " +
                 std::string(c.b.begin(), c.b.end()));
    EXPECT_EQ(CompareVersions(c.a, c.b), c.result);
  }
  EXPECT_TRUE(IsAllDigits(u""));
  EXPECT_TRUE(IsAllDigits(u"0123456789"));
  EXPECT_FALSE(IsAllDigits(u"12a"));
}

TEST(InstallerName, OnlyPlainFileNamesAreUsable) {
  for (const char16_t* name : {u"setup.exe", u"Vexo Setup 1.0.7.exe", u"..setup", u"安装.exe"}) {
    EXPECT_TRUE(IsPlainFileName(name));
  }
  for (const char16_t* name : {u"", u".", u"..", u"../setup.exe", u"..\\setup.exe", u"a/b",
                               u"C:setup.exe", u"/etc/passwd", u"\\\\server\\share\\x"}) {
    EXPECT_FALSE(IsPlainFileName(name)) << std::u16string(name).size();
  }
  EXPECT_FALSE(IsPlainFileName(std::u16string(u"setup\0.exe", 10)));
}

}  // namespace
}  // namespace vexo
