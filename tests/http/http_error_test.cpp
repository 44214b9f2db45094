// The error model: the message table, formatting, exception copies and how narrow failures cross
// into the wide layer.
#include "http/http_error.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "http/http_client.h"
#include "http/http_tool.h"

namespace vexo {
namespace {

std::string Narrow(const char16_t* text) {
  std::string out;
  for (; *text != 0; ++text)
    out += *text < 0x80 ? static_cast<char>(*text) : '?';
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

TEST(HttpErrors, MessageTableAgreesInBothFlavours) {
  struct Case {
    int32_t code;
    const char* message;
  };
  const Case cases[] = {
      {0, "Not specified"},
      {100, "Unexpected error occurred."},
      {102, "Out of memory."},
      {103, "The requested URL is not a valid URL."},
      {107, "The port number is not valid."},
      {112, "An arithmetic overflow error has been occurred."},
      {113, "An interger divide by zero exception has been occurred."},
      {114, "The file (%s) aleady exists."},
      {200, ""},
      {400, "::HttpQueryInfo failed."},
      {401, "::InternetReadFile failed."},
      {406, "::HttpSendRequest failed."},
      {410, "::InternetSetOption failed."},
      {600, "::WideCharToMultiByte failed."},
      {601, "::MultiByteToWideChar failed."},
      {603, "OpenFile (::CreateFile) failed (\"%s\")."},
      {606, "::WriteFile failed (\"%s\")."},
      {1000, "user-defined error message"},
      {123456, "user-defined error message"},
      {INT32_MAX, "user-defined error message"},
      // Codes without a row.
      {1, "Not specified"},
      {99, "Not specified"},
      {115, "Not specified"},
      {250, "Not specified"},
      {411, "Not specified"},
      {700, "Not specified"},
      {-5, "Not specified"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_STREQ(ErrorMessageOfA(c.code), c.message);
    EXPECT_EQ(Narrow(ErrorMessageOfW(c.code)), c.message);
  }
}

TEST(HttpErrors, FormatsTheArgumentIntoTheMessage) {
  struct Case {
    const char* name;
    int32_t code;
    const char* argument;
    std::string expected;
  };
  const std::string longName(600, 'n');
  const Case cases[] = {
      {"file name in quotes", 603, "C:\\data\\x.bin",
       "OpenFile (::CreateFile) failed (\"C:\\data\\x.bin\")."},
      {"null argument keeps %s", 603, nullptr, "OpenFile (::CreateFile) failed (\"%s\")."},
      {"message without %s", 406, "ignored", "::HttpSendRequest failed."},
      {"cut to 511 characters", 605, longName.c_str(),
       ("::GetFileSize failed (\"" + longName).substr(0, 511)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char narrow[512];
    std::fill(std::begin(narrow), std::end(narrow), '\x7F');
    FormatErrorMessageA(c.code, c.argument, narrow);
    EXPECT_EQ(std::string(narrow), c.expected);

    std::u16string wideArgument =
        c.argument ? std::u16string(c.argument, c.argument + std::strlen(c.argument)) : u"";
    char16_t wide[512];
    std::fill(std::begin(wide), std::end(wide), u'\x7F');
    FormatErrorMessageW(c.code, c.argument ? wideArgument.c_str() : nullptr, wide);
    EXPECT_EQ(Narrow(wide), c.expected);
  }
}

TEST(HttpErrors, RaiseOperationsCarryCodeAndPlatformError) {
  auto formatted = CaughtW([] { ThrowFormattedExceptionW(406, 12029, nullptr); });
  EXPECT_EQ(formatted.Code(), 406);
  EXPECT_EQ(formatted.SystemError(), 12029u);
  EXPECT_EQ(Narrow(formatted.ErrorMessage()), "::HttpSendRequest failed.");

  auto plain = CaughtW([] { ThrowExceptionW(103); });
  EXPECT_EQ(plain.SystemError(), 0u);
  EXPECT_EQ(Narrow(plain.ErrorMessage()), "The requested URL is not a valid URL.");

  struct Arithmetic {
    uint32_t failure;
    int32_t code;
  };
  for (const auto& a : {Arithmetic{kArithmeticOverflowFailure, 112},
                        Arithmetic{kIntegerDivideByZeroFailure, 113}, Arithmetic{7, 111}}) {
    SCOPED_TRACE(a.failure);
    EXPECT_EQ(CaughtW([&] { ThrowArithmeticExceptionW(a.failure); }).Code(), a.code);
    try {
      ThrowArithmeticExceptionA(a.failure);
    } catch (const httpclientexceptionA& e) {
      EXPECT_EQ(e.Code(), a.code);
    }
  }
}

TEST(HttpErrors, GuardedArithmeticRaisesOverflow) {
  EXPECT_EQ(GuardedW::Add(UINT32_MAX - 1, 1), UINT32_MAX);
  EXPECT_EQ(CaughtW([] { GuardedW::Add(UINT32_MAX, 1); }).Code(), 112);
  EXPECT_EQ(CaughtW([] { GuardedW::Mul(0x80000000u, 2); }).Code(), 112);
  EXPECT_EQ(CaughtW([] { GuardedW::Dec(0); }).Code(), 112);
  EXPECT_EQ(GuardedW::Dec(1), 0u);
  try {
    GuardedA::Add(UINT32_MAX, 2);
    ADD_FAILURE() << "no overflow";
  } catch (const httpclientexceptionA& e) {
    EXPECT_EQ(e.Code(), 112);
  }
}

TEST(HttpErrors, WhatNamesTheWideClassAndGivesTheNarrowMessage) {
  httpclientexceptionW wide(u"anything", 5, 6);
  EXPECT_STREQ(wide.what(), "httpclientexceptionW");
  EXPECT_STREQ(errmsg_exceptionW(u"x").what(), "errmsg_exceptionW");
  httpclientexceptionA narrow("the message", 5, 6);
  EXPECT_STREQ(narrow.what(), "the message");
  httpclientexceptionA none(nullptr, 5, 6);
  EXPECT_STREQ(none.what(), "NULL");
  EXPECT_EQ(Narrow(httpclientexceptionW(nullptr, 1, 2).ErrorMessage()), "NULL");
}

TEST(HttpErrors, CopiesOwnTheirMessages) {
  httpclientexceptionW original(u"first", 404, 5);
  httpclientexceptionW copy(original);
  original.SetErrorMessage(u"changed");
  EXPECT_EQ(Narrow(copy.ErrorMessage()), "first");
  EXPECT_EQ(copy.Code(), 404);
  EXPECT_EQ(copy.SystemError(), 5u);

  httpclientexceptionW assigned(u"other", 1, 1);
  assigned = original;
  original.SetErrorMessage(nullptr);
  EXPECT_EQ(Narrow(assigned.ErrorMessage()), "changed");
  EXPECT_EQ(Narrow(original.ErrorMessage()), "NULL");
  EXPECT_EQ(assigned.Code(), 404);

  auto& self = assigned;
  assigned = self;
  EXPECT_EQ(Narrow(assigned.ErrorMessage()), "changed");

  httpclientexceptionA narrow("narrow", 7, 8);
  httpclientexceptionA narrowCopy(narrow);
  narrow.SetErrorMessage("gone");
  EXPECT_STREQ(narrowCopy.ErrorMessage(), "narrow");
  EXPECT_EQ(narrowCopy.SystemError(), 8u);
}

TEST(HttpErrors, NarrowFailuresReachTheCallerWidened) {
  httpclientexceptionA narrow(ErrorMessageOfA(404), 404, 5);
  auto widened = CaughtW([&] { ThrowWidenedException(narrow); });
  EXPECT_EQ(widened.Code(), 404);
  EXPECT_EQ(widened.SystemError(), 5u);
  EXPECT_EQ(Narrow(widened.ErrorMessage()), "::HttpOpenRequest failed.");

  // A narrow argument check below a wide tool operation.
  auto check = CaughtW([] { CHttpToolW::OpenRequest(nullptr, u"GET", u"/", 0, nullptr, 0); });
  EXPECT_EQ(Narrow(check.ErrorMessage()), "CHttpToolW::OpenRequest: hConnection can not be NULL.");
  EXPECT_EQ(check.Code(), 0);
  EXPECT_EQ(check.SystemError(), 0u);

  // A platform failure inside the narrow layer: the handle is not an open connection.
  auto bogus = reinterpret_cast<HINTERNET>(static_cast<uintptr_t>(0x10));
  auto failed = CaughtW([&] { CHttpToolW::OpenRequest(bogus, u"GET", u"/x", 0, nullptr, 0); });
  EXPECT_EQ(failed.Code(), 404);
  EXPECT_NE(failed.SystemError(), 0u);
  EXPECT_EQ(Narrow(failed.ErrorMessage()), "::HttpOpenRequest failed.");
}

TEST(HttpErrors, ArgumentChecksNameClassOperationAndParameterInOrder) {
  struct Case {
    const char* expected;
    std::function<void()> action;
  };
  uint8_t byte = 0;
  auto bogus = reinterpret_cast<HINTERNET>(static_cast<uintptr_t>(0x10));
  CHttpClientT client;
  const Case cases[] = {
      {"CHttpToolW::SendRequest: hRequest can not be NULL.",
       [] { CHttpToolW::SendRequest(nullptr, nullptr, 65001); }},
      {"CHttpToolW::SendRequest: CP_UTF8 and CP_UTF7 can not be used for the CodePage parameter.",
       [&] { CHttpToolW::SendRequest(bogus, nullptr, 65000); }},
      {"CHttpToolW::OpenConnection: szServerAddr can not be NULL.",
       [&] { CHttpToolW::OpenConnection(bogus, nullptr, 80, nullptr, nullptr); }},
      {"CHttpToolW::OpenConnection: szServerAddr can not be an empty string.",
       [&] { CHttpToolW::OpenConnection(bogus, u"", 80, nullptr, nullptr); }},
      {"CHttpToolW::OpenRequest: szObjectName can not be an empty string.",
       [&] { CHttpToolW::OpenRequest(bogus, u"GET", u"", 0, nullptr, 65001); }},
      {"CHttpToolW::AddHeader: szName can not be NULL.",
       [&] { CHttpToolW::AddHeader(bogus, nullptr, u"v", 65001); }},
      {"CHttpResponseT::ReadContent: m_hRequest can not be NULL.",
       [&] { CHttpResponseT(nullptr, nullptr, nullptr).ReadContent(nullptr, 0); }},
      {"CHttpResponseT::ReadContent: pbyBuff can not be NULL.",
       [&] { CHttpResponseT(nullptr, nullptr, bogus).ReadContent(nullptr, 0); }},
      {"CHttpResponseT::ReadContent: cbBuff can not be zero.",
       [&] { CHttpResponseT(nullptr, nullptr, bogus).ReadContent(&byte, 0); }},
      {"CHttpResponseT::GetContentLength: m_hRequest can not be NULL.",
       [&] {
         uint32_t length = 0;
         CHttpResponseT(nullptr, nullptr, nullptr).GetContentLength(length);
       }},
      {"CHttpClientT::OpenConnection: hInternet can not be NULL.",
       [&] { client.OpenConnection(nullptr, u"http://h/", nullptr, nullptr); }},
      {"CHttpClientT::OpenRequest: hConnection can not be NULL.",
       [&] { client.OpenRequest(nullptr, u"GET", u"http://h/", 0, nullptr); }},
      {"CHttpClientT::AddRequestHeader: hRequest can not be NULL.",
       [&] { client.AddRequestHeader(nullptr); }},
      {"CHttpClientT::ApplyProxyAccount: hConnection can not be NULL.",
       [&] { client.ApplyProxyAccount(nullptr); }},
      {"CHttpClientT::MakeGetUrl: szBuff can not be NULL.",
       [&] { client.MakeGetUrl(nullptr, u"http://h/"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    auto e = CaughtW(c.action);
    EXPECT_EQ(Narrow(e.ErrorMessage()), c.expected);
    EXPECT_EQ(e.Code(), 0);
    EXPECT_EQ(e.SystemError(), 0u);
  }
}

}  // namespace
}  // namespace vexo
