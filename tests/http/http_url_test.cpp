// URL analysis, the encoders, the whole-text conversions, the ordered map and query-string
// building.
#include "http/http_url.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "http/http_client.h"
#include "http/http_tool.h"

namespace vexo {
namespace {

constexpr char16_t kPoison = u'\xCDCD';

std::string Narrow(const char16_t* text) {
  std::string out;
  for (; *text != 0; ++text)
    out += static_cast<char>(*text);
  return out;
}

template <typename Action>
httpclientexceptionW CaughtW(Action action) {
  try {
    action();
  } catch (const httpclientexceptionW& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was thrown";
  return httpclientexceptionW(u"nothing", -1, 0);
}

struct Span {
  uint32_t start;
  uint32_t length;
  bool operator==(const Span&) const = default;
};

void PrintTo(const Span& s, std::ostream* os) {
  *os << s.start << "/" << s.length;
}

TEST(HttpUrlAnalyzer, SplitsUrlsByPosition) {
  struct Case {
    const char16_t* url;
    Span scheme, host, port, path, query, fragment;
  };
  const Case cases[] = {
      {u"http://host1:81/a/b?x=1#top", {0, 4}, {7, 5}, {13, 2}, {15, 4}, {19, 4}, {23, 4}},
      {u"http://h", {0, 4}, {7, 1}, {8, 0}, {8, 0}, {8, 0}, {8, 0}},
      {u"h/x", {0, 0}, {0, 1}, {1, 0}, {1, 2}, {3, 0}, {3, 0}},
      {u"h/p?u=ftp://x", {0, 9}, {12, 1}, {13, 0}, {13, 0}, {13, 0}, {13, 0}},
      {u"http://user:pw@host/x", {0, 4}, {7, 4}, {12, 7}, {19, 2}, {21, 0}, {21, 0}},
      {u"http://h?x=1", {0, 4}, {7, 1}, {8, 0}, {8, 0}, {8, 4}, {12, 0}},
      {u"http:///path", {0, 4}, {7, 0}, {7, 0}, {7, 5}, {12, 0}, {12, 0}},
      {u"http://", {0, 4}, {7, 0}, {7, 0}, {7, 0}, {7, 0}, {7, 0}},
      {u"http://h:/x", {0, 4}, {7, 1}, {9, 0}, {9, 2}, {11, 0}, {11, 0}},
      {u"http://h:1:2/", {0, 4}, {7, 1}, {9, 3}, {12, 1}, {13, 0}, {13, 0}},
      {u"http://h#f", {0, 4}, {7, 1}, {8, 0}, {8, 0}, {8, 0}, {8, 2}},
      {u"http://h/p?a#b?c", {0, 4}, {7, 1}, {8, 0}, {8, 2}, {10, 2}, {12, 4}},
      {u"http://h/p#", {0, 4}, {7, 1}, {8, 0}, {8, 2}, {10, 0}, {10, 1}},
      {u"?q", {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 2}, {2, 0}},
      {u"", {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}},
      {nullptr, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url ? Narrow(c.url) : "(null)");
    CHttpUrlAnalyzerT url;
    url.Analyze(u"poison://poison:1/p?q#f", 0);
    url.Analyze(c.url, 0);
    EXPECT_EQ((Span{url.SchemeStart(), url.SchemeLength()}), c.scheme);
    EXPECT_EQ((Span{url.HostStart(), url.HostLength()}), c.host);
    EXPECT_EQ((Span{url.PortStart(), url.PortLength()}), c.port);
    EXPECT_EQ((Span{url.PathStart(), url.PathLength()}), c.path);
    EXPECT_EQ((Span{url.QueryStart(), url.QueryLength()}), c.query);
    EXPECT_EQ((Span{url.FragmentStart(), url.FragmentLength()}), c.fragment);
  }
}

TEST(HttpUrlAnalyzer, RefusesUtf8AndUtf7CodePages) {
  for (uint32_t codePage : {65001u, 65000u}) {
    auto e = CaughtW([&] { CHttpUrlAnalyzerT().Analyze(u"http://h/", codePage); });
    EXPECT_EQ(Narrow(e.ErrorMessage()),
              "CHttpUrlAnalyzerT::Analyze: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
              "parameter.");
    EXPECT_EQ(e.Code(), 0);
  }
}

TEST(HttpEncoder, UrlEncodesEachUnitAndPredictsTheLength) {
  struct Case {
    const char* name;
    std::u16string text;
    bool utf8;
    uint32_t codePage;
    const char* expected;
  };
  const Case cases[] = {
      {"space and slash", u"a b/c", false, 0, "a+b%2Fc"},
      {"letters and digits stay", u"AZaz09", false, 0, "AZaz09"},
      {"unreserved marks are escaped", u"-._~", false, 0, "%2D%2E%5F%7E"},
      {"utf-8 two bytes", u"\u00e9", true, 0, "%C3%A9"},
      {"utf-8 switch beats the code page", u"\u00e9", true, 1252, "%C3%A9"},
      {"windows-1252", u"\u00e9\u20ac", false, 1252, "%E9%80"},
      {"gbk", u"\u53d1", false, 936, "%B7%A2"},
      {"surrogate halves one by one", u"\U0001F600", true, 0, "%EF%BF%BD%EF%BF%BD"},
      {"empty", u"", false, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char16_t> buffer(64, kPoison);
    CHttpEncoderW::UrlEncodeW(buffer.data(), c.text.c_str(), c.utf8, c.codePage);
    EXPECT_EQ(Narrow(buffer.data()), c.expected);
    EXPECT_EQ(CHttpEncoderW::UrlEncodeLenW(c.text.c_str(), c.utf8, c.codePage),
              std::strlen(c.expected));
    EXPECT_EQ(buffer[std::strlen(c.expected) + 1], kPoison) << "wrote past the terminator";
  }
  std::vector<char16_t> buffer(4, kPoison);
  CHttpEncoderW::UrlEncodeW(buffer.data(), nullptr, false, 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(CHttpEncoderW::UrlEncodeLenW(nullptr, false, 0), 0u);
  EXPECT_EQ(
      Narrow(CaughtW([] { CHttpEncoderW::UrlEncodeW(nullptr, u"x", false, 0); }).ErrorMessage()),
      "CHttpEncoderW::UrlEncodeW: szBuff can not be NULL.");
}

TEST(HttpEncoder, RawByteEncoding) {
  EXPECT_EQ(CHttpEncoderW::_UrlEncodeLen("a b/c"), 7u);
  EXPECT_EQ(CHttpEncoderW::_UrlEncodeLen("\xFF\x01"), 6u);
  char16_t out[16];
  std::fill(std::begin(out), std::end(out), kPoison);
  char16_t* end = CHttpEncoderW::_UrlEncode("\xFF\x01z", out);
  EXPECT_EQ(Narrow(out), "%FF%01z");
  EXPECT_EQ(end, out + 7);
  EXPECT_EQ(Narrow(CaughtW([] { CHttpEncoderW::_UrlEncodeLen(nullptr); }).ErrorMessage()),
            "_UrlEncodeLen: szStr can not be NULL.");
}

TEST(HttpEncoder, AnsiEncodingWithLength) {
  struct Case {
    std::u16string text;
    uint32_t codePage;
    std::string bytes;
  };
  const Case cases[] = {
      {u"abc", 1252, "abc"},
      {u"\u00e9", 1252, "\xE9"},
      {u"\u53d1\u73b0", 936, "\xB7\xA2\xCF\xD6"},
      {u"a\u53d1", 1252, "a?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(CHttpEncoderW::AnsiEncodeLen(c.text.c_str(), c.codePage), c.bytes.size());
    std::vector<char> buffer(16, '\x7F');
    CHttpEncoderW::AnsiEncode(buffer.data(), c.text.c_str(), c.codePage);
    EXPECT_EQ(std::string(buffer.data()), c.bytes);
    EXPECT_EQ(buffer[c.bytes.size() + 1], '\x7F');
  }
  EXPECT_EQ(CHttpEncoderW::AnsiEncodeLen(u"", 0), 0u);
  char buffer[4] = {'x', 'x', 'x', 'x'};
  CHttpEncoderW::AnsiEncode(buffer, nullptr, 0);
  EXPECT_EQ(buffer[0], 0);
  // The code page is refused before the buffer is looked at.
  EXPECT_EQ(Narrow(CaughtW([] { CHttpEncoderW::AnsiEncode(nullptr, u"x", 65001); }).ErrorMessage()),
            "CHttpEncoderW::AnsiEncode: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
            "parameter.");
  EXPECT_EQ(Narrow(CaughtW([] { CHttpEncoderW::AnsiEncode(nullptr, u"x", 0); }).ErrorMessage()),
            "CHttpEncoderW::AnsiEncode: szBuff can not be NULL.");
  EXPECT_EQ(Narrow(CaughtW([] { CHttpEncoderW::AnsiEncodeLen(u"", 65000); }).ErrorMessage()),
            "CHttpEncoderW::AnsiEncodeLen: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
            "parameter.");
}

TEST(HttpToolConversions, ConvertWholeTextsIntoNewBuffers) {
  auto narrow = CHttpToolW::Unicode2Ansi(u"\u53d1\u73b0x", 936);
  ASSERT_TRUE(narrow);
  EXPECT_STREQ(narrow.get(), "\xB7\xA2\xCF\xD6x");
  auto wide = CHttpToolW::Ansi2Unicode("\xB7\xA2\xCF\xD6x", 936);
  ASSERT_TRUE(wide);
  EXPECT_EQ(std::u16string(wide.get()), u"\u53d1\u73b0x");
  EXPECT_FALSE(CHttpToolW::Unicode2Ansi(nullptr, 0));
  EXPECT_FALSE(CHttpToolW::Ansi2Unicode(nullptr, 0));
  // The code page is refused even for a null text.
  auto refused = CaughtW([] { CHttpToolW::Unicode2Ansi(nullptr, 65001); });
  EXPECT_EQ(Narrow(refused.ErrorMessage()),
            "CHttpToolW::Unicode2Ansi: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
            "parameter.");
  EXPECT_EQ(Narrow(CaughtW([] { CHttpToolW::Ansi2Unicode(nullptr, 65000); }).ErrorMessage()),
            "CHttpToolW::Ansi2Unicode: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
            "parameter.");
}

TEST(HttpClientMap, OrdersNamesWithoutRegardToAsciiCase) {
  CHttpClientMapT map;
  map.Add(u"b", u"1");
  map.Add(u"A", u"2");
  map.Add(nullptr, u"3");
  map.Add(u"a", nullptr);
  map.Add(u"_x", u"5");
  std::vector<std::string> order;
  for (const auto& entry : map)
    order.push_back(entry.Name() ? Narrow(entry.Name()) : "(null)");
  EXPECT_EQ(order, (std::vector<std::string>{"(null)", "_x", "A", "a", "b"}));
  EXPECT_EQ(map.Count(u"a"), 2u);
  EXPECT_EQ(map.Count(u"B"), 1u);
  EXPECT_EQ(map.Count(u"c"), 0u);
  EXPECT_EQ(map.Count(nullptr), 5u);
  map.Clear();
  EXPECT_TRUE(map.Empty());
}

TEST(HttpClientQuery, BuildsTheGetUrlAndPredictsItsLength) {
  struct Case {
    const char16_t* url;
    const char* expected;
  };
  const Case cases[] = {
      {u"http://h/p", "http://h/p?k=v+w&n="},
      {u"http://h/p?x=1#f", "http://h/p?x=1&k=v+w&n=#f"},
      {u"http://h", "http://h/?k=v+w&n="},
      {u"http://h?x", "http://h/?x&k=v+w&n="},
      {u"http://h/p?", "http://h/p?&k=v+w&n="},
      {u"http://h#frag", "http://h/?k=v+w&n=#frag"},
      {nullptr, "k=v+w&n="},
  };
  CHttpClientT client;
  client.Params().Add(u"n", nullptr);
  client.Params().Add(u"k", u"v w");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url ? Narrow(c.url) : "(null)");
    std::vector<char16_t> buffer(128, kPoison);
    client.MakeGetUrl(buffer.data(), c.url);
    EXPECT_EQ(Narrow(buffer.data()), c.expected);
    EXPECT_EQ(client.MakeGetUrlLen(c.url), std::strlen(c.expected));
    EXPECT_EQ(buffer[std::strlen(c.expected) + 1], kPoison);
  }
}

TEST(HttpClientQuery, KeepsPreEncodedTextsAsTheyAre) {
  CHttpClientT client;
  client.Params().Add(u"a b", u"c d", HTTPMAP_NAME_ENCODED);
  client.Params().Add(u"e f", u"%20", HTTPMAP_VALUE_ENCODED);
  std::vector<char16_t> buffer(64, kPoison);
  client.MakeGetUrl(buffer.data(), u"/x");
  EXPECT_EQ(Narrow(buffer.data()), "/x?a b=c+d&e+f=%20");
  EXPECT_EQ(client.MakeGetUrlLen(u"/x"), 18u);
}

TEST(HttpClientQuery, WithoutParametersCopiesTheUrl) {
  CHttpClientT client;
  std::vector<char16_t> buffer(32, kPoison);
  client.MakeGetUrl(buffer.data(), u"http://h/p?x#y");
  EXPECT_EQ(Narrow(buffer.data()), "http://h/p?x#y");
  client.MakeGetUrl(buffer.data(), nullptr);
  EXPECT_EQ(buffer[0], 0);
  // A null URL with no parameters has a length below zero: an arithmetic overflow.
  EXPECT_EQ(CaughtW([&] { client.MakeGetUrlLen(nullptr); }).Code(), 112);
}

}  // namespace
}  // namespace vexo
