#include "http/http_url.h"

#include <string>
#include <string_view>

#include "http/http_error.h"
#include "platform/codepage.h"

namespace vexo {
namespace {

bool EndsHostPart(char16_t c) {
  return c == u'?' || c == u'#' || c == 0;
}

bool IsUnreservedByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// One UTF-16 unit followed by a terminator, converted as the platform converts it with flags 0;
// the result ends with the converted terminator.
std::string ConvertUnit(char16_t unit, bool bUtf8, uint32_t CodePage) {
  const char16_t units[2] = {unit, 0};
  std::string bytes;
  uint32_t error = 0;
  uint32_t codePage = bUtf8 ? platform::kCodePageUtf8 : CodePage;
  if (!platform::WideToNarrow(codePage, std::u16string_view(units, 2), bytes, error))
    ThrowFormattedExceptionW(httperror::kWideCharToMultiByte, error, nullptr);
  return bytes;
}

}  // namespace

bool IsRefusedCodePage(uint32_t CodePage) {
  return CodePage == platform::kCodePageUtf8 || CodePage == platform::kCodePageUtf7;
}

// --- CHttpUrlAnalyzerT

void CHttpUrlAnalyzerT::Analyze(const char16_t* szUrl, uint32_t CodePage) {
  if (IsRefusedCodePage(CodePage))
    ThrowExceptionW(
        u"CHttpUrlAnalyzerT::Analyze: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
        u"parameter.",
        0);
  *this = CHttpUrlAnalyzerT();
  if (szUrl == nullptr || szUrl[0] == 0)
    return;
  // Positions are 32-bit; with the three units of "://" skipped they must not wrap.
  GuardedW::Add(GuardedW::Length(std::char_traits<char16_t>::length(szUrl)), 3);

  uint32_t p = 0;
  std::u16string_view url(szUrl);
  size_t separator = url.find(u"://");
  if (separator != std::u16string_view::npos) {
    m_nSchemeLength = static_cast<uint32_t>(separator);
    p = m_nSchemeLength + 3;
  }
  m_nHostStart = p;
  AnalyzeHostAndPort(szUrl, p);
  AnalyzePathAndQuery(szUrl, p);
  m_nFragmentStart = p;
  m_nFragmentLength = static_cast<uint32_t>(url.size()) - p;
}

void CHttpUrlAnalyzerT::AnalyzeHostAndPort(const char16_t* szUrl, uint32_t& p) {
  if (szUrl[p] == u'/') {
    m_nPortStart = p;
    return;
  }
  bool portSeen = false;
  while (!EndsHostPart(szUrl[p])) {
    if (portSeen) {
      ++m_nPortLength;
    } else if (szUrl[p] == u':') {
      m_nPortStart = p + 1;
      portSeen = true;
    } else {
      ++m_nHostLength;
    }
    ++p;
    if (szUrl[p] == u'/')
      break;
  }
  if (!portSeen)
    m_nPortStart = p;
}

void CHttpUrlAnalyzerT::AnalyzePathAndQuery(const char16_t* szUrl, uint32_t& p) {
  m_nPathStart = p;
  bool querySeen = false;
  if (szUrl[p] != u'#') {
    while (szUrl[p] != 0) {
      if (querySeen) {
        ++m_nQueryLength;
      } else if (szUrl[p] == u'?') {
        m_nQueryStart = p;
        ++m_nQueryLength;
        querySeen = true;
      } else {
        ++m_nPathLength;
      }
      ++p;
      if (szUrl[p] == u'#')
        break;
    }
  }
  if (!querySeen)
    m_nQueryStart = p;
}

// --- CHttpEncoderW

char16_t* CHttpEncoderW::_UrlEncode(const char* bytes, char16_t* out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (; *bytes != 0; ++bytes) {
    auto c = static_cast<unsigned char>(*bytes);
    if (IsUnreservedByte(c)) {
      *out++ = c;
    } else if (c == ' ') {
      *out++ = u'+';
    } else {
      *out++ = u'%';
      *out++ = static_cast<char16_t>(kHex[c >> 4]);
      *out++ = static_cast<char16_t>(kHex[c & 0x0F]);
    }
  }
  *out = 0;
  return out;
}

uint32_t CHttpEncoderW::_UrlEncodeLen(const char* szStr) {
  if (szStr == nullptr)
    ThrowExceptionW(u"_UrlEncodeLen: szStr can not be NULL.", 0);
  uint32_t length = 0;
  for (; *szStr != 0; ++szStr) {
    auto c = static_cast<unsigned char>(*szStr);
    length = GuardedW::Add(length, IsUnreservedByte(c) || c == ' ' ? 1 : 3);
  }
  return length;
}

char16_t* CHttpEncoderW::UrlEncodeW(char16_t* szBuff, const char16_t* szStr, bool bUtf8,
                                    uint32_t CodePage) {
  if (szBuff == nullptr)
    ThrowExceptionW(u"CHttpEncoderW::UrlEncodeW: szBuff can not be NULL.", 0);
  char16_t* out = szBuff;
  *out = 0;
  if (szStr == nullptr)
    return szBuff;
  for (; *szStr != 0; ++szStr)
    out = _UrlEncode(ConvertUnit(*szStr, bUtf8, CodePage).c_str(), out);
  return szBuff;
}

uint32_t CHttpEncoderW::UrlEncodeLenW(const char16_t* szStr, bool bUtf8, uint32_t CodePage) {
  uint32_t length = 0;
  if (szStr == nullptr)
    return 0;
  for (; *szStr != 0; ++szStr)
    length = GuardedW::Add(length, _UrlEncodeLen(ConvertUnit(*szStr, bUtf8, CodePage).c_str()));
  return length;
}

uint32_t CHttpEncoderW::AnsiEncodeLen(const char16_t* szStr, uint32_t CodePage) {
  if (IsRefusedCodePage(CodePage))
    ThrowExceptionW(
        u"CHttpEncoderW::AnsiEncodeLen: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
        u"parameter.",
        0);
  if (szStr == nullptr || szStr[0] == 0)
    return 0;
  std::u16string_view text(szStr, std::char_traits<char16_t>::length(szStr) + 1);
  std::string bytes;
  uint32_t error = 0;
  if (!platform::WideToNarrow(CodePage, text, bytes, error) || bytes.empty())
    ThrowFormattedExceptionW(httperror::kWideCharToMultiByte, error, nullptr);
  return GuardedW::Dec(GuardedW::Length(bytes.size()));
}

char* CHttpEncoderW::AnsiEncode(char* szBuff, const char16_t* szStr, uint32_t CodePage) {
  if (IsRefusedCodePage(CodePage))
    ThrowExceptionW(
        u"CHttpEncoderW::AnsiEncode: CP_UTF8 and CP_UTF7 can not be used for the CodePage "
        u"parameter.",
        0);
  if (szBuff == nullptr)
    ThrowExceptionW(u"CHttpEncoderW::AnsiEncode: szBuff can not be NULL.", 0);
  if (szStr == nullptr || szStr[0] == 0) {
    szBuff[0] = 0;
    return szBuff;
  }
  uint32_t capacity = GuardedW::Add(AnsiEncodeLen(szStr, CodePage), 1);
  std::u16string_view text(szStr, std::char_traits<char16_t>::length(szStr) + 1);
  std::string bytes;
  uint32_t error = 0;
  if (!platform::WideToNarrow(CodePage, text, bytes, error))
    ThrowFormattedExceptionW(httperror::kWideCharToMultiByte, error, nullptr);
  if (bytes.size() > capacity)  // ERROR_INSUFFICIENT_BUFFER, as the platform call reports it
    ThrowFormattedExceptionW(httperror::kWideCharToMultiByte, 122, nullptr);
  std::char_traits<char>::copy(szBuff, bytes.data(), bytes.size());
  return szBuff;
}

}  // namespace vexo
