#include "http/http_client.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <string_view>

namespace vexo {
namespace {

size_t WideLength(const char16_t* text) {
  return text == nullptr ? 0 : std::char_traits<char16_t>::length(text);
}

char16_t FoldAscii(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

char16_t* CopyUnits(char16_t* out, const char16_t* from, size_t count) {
  std::char_traits<char16_t>::copy(out, from, count);
  return out + count;
}

bool IsBlank(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

// The port text read as the standard wide-to-unsigned-long conversion reads it in base 10 (blanks,
// then an optional sign, then digits; a negative value wraps as a 32-bit unsigned long does);
// false when any character is left unread or the value is not a port number.
bool ReadPort(std::u16string_view text, uint16_t& port) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i]))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
    negative = text[i++] == u'-';
  size_t firstDigit = i;
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
    value = std::min<uint64_t>(value * 10 + (text[i] - u'0'), UINT32_MAX);
  if (i == firstDigit || i != text.size())
    return false;
  if (negative)
    value = (UINT32_MAX + 1ULL - value) & UINT32_MAX;
  if (value > 65535)
    return false;
  port = static_cast<uint16_t>(value);
  return true;
}

constexpr uint16_t kHttpPort = 80;
constexpr uint16_t kHttpsPort = 443;
constexpr size_t kLongestPortText = 5;
constexpr uint32_t kOptionProxyUsername = platform::kOptionProxyUsername;
constexpr uint32_t kOptionProxyPassword = platform::kOptionProxyPassword;

}  // namespace

// --- CHttpClientMapT

int CHttpClientMapT::CompareNames(const char16_t* a, const char16_t* b) {
  if (a == nullptr || b == nullptr)
    return (a != nullptr) - (b != nullptr);
  for (;; ++a, ++b) {
    char16_t x = FoldAscii(*a);
    char16_t y = FoldAscii(*b);
    if (x != y)
      return x < y ? -1 : 1;
    if (x == 0)
      return 0;
  }
}

void CHttpClientMapT::Add(const char16_t* szName, const char16_t* szValue, uint32_t dwFlags) {
  Entry entry;
  if (szName != nullptr)
    entry.name = szName;
  if (szValue != nullptr)
    entry.value = szValue;
  entry.flags = dwFlags;
  auto position = std::upper_bound(
      m_entries.begin(), m_entries.end(), szName,
      [](const char16_t* name, const Entry& e) { return CompareNames(name, e.Name()) < 0; });
  m_entries.insert(position, std::move(entry));
}

uint32_t CHttpClientMapT::Count(const char16_t* szName) const {
  if (szName == nullptr)
    return static_cast<uint32_t>(m_entries.size());
  return static_cast<uint32_t>(
      std::count_if(m_entries.begin(), m_entries.end(),
                    [&](const Entry& e) { return e.name && CompareNames(szName, e.Name()) == 0; }));
}

// --- CHttpResponseT

CHttpResponseT::CHttpResponseT(HINTERNET hInternet, HINTERNET hConnection,
                               HINTERNET hRequest) noexcept
    : m_hInternet(hInternet), m_hConnection(hConnection), m_hRequest(hRequest) {}

CHttpResponseT::~CHttpResponseT() {
  CHttpToolW::CloseInternetHandle(m_hRequest);
  CHttpToolW::CloseInternetHandle(m_hConnection);
  CHttpToolW::CloseInternetHandle(m_hInternet);
}

bool CHttpResponseT::GetContentLength(uint32_t& cbContLen) {
  if (m_hRequest == nullptr)
    ThrowExceptionW(u"CHttpResponseT::GetContentLength: m_hRequest can not be NULL.", 0);
  uint32_t length = 0;
  if (platform::QueryContentLength(m_hRequest, length)) {
    cbContLen = length;
    return true;
  }
  uint32_t error = platform::LastInternetError();
  if (error == platform::kErrorHttpHeaderNotFound)
    return false;
  ThrowFormattedExceptionW(httperror::kHttpQueryInfo, error, nullptr);
}

uint32_t CHttpResponseT::ReadContent(uint8_t* pbyBuff, uint32_t cbBuff) {
  return Read(u"CHttpResponseT::ReadContent", pbyBuff, cbBuff, false);
}

uint32_t CHttpResponseT::ReadContentUpToFailure(uint8_t* pbyBuff, uint32_t cbBuff) {
  return Read(u"CHttpResponseT::ReadContentUpToFailure", pbyBuff, cbBuff, true);
}

uint32_t CHttpResponseT::Read(std::u16string_view operation, uint8_t* pbyBuff, uint32_t cbBuff,
                              bool keepBytesBeforeFailure) {
  auto check = [&](bool holds, std::u16string_view complaint) {
    if (!holds)
      ThrowExceptionW((std::u16string(operation) + u": " + std::u16string(complaint)).c_str(), 0);
  };
  check(m_hRequest != nullptr, u"m_hRequest can not be NULL.");
  check(pbyBuff != nullptr, u"pbyBuff can not be NULL.");
  check(cbBuff != 0, u"cbBuff can not be zero.");
  uint32_t read = 0;
  // After a failure the platform layer fails every later read of the request the same way.
  if (!platform::ReadInternetFile(m_hRequest, pbyBuff, cbBuff, read) &&
      (!keepBytesBeforeFailure || read == 0)) {
    ThrowFormattedExceptionW(httperror::kInternetReadFile, platform::LastInternetError(), nullptr);
  }
  return read;
}

uint32_t CHttpResponseT::GetStatusCode() {
  if (m_hRequest == nullptr)
    ThrowExceptionW(u"CHttpResponseT::GetStatusCode: m_hRequest can not be NULL.", 0);
  uint32_t status = 0;
  if (!platform::QueryStatusCode(m_hRequest, status))
    ThrowFormattedExceptionW(httperror::kHttpQueryInfo, platform::LastInternetError(), nullptr);
  return status;
}

bool CHttpResponseT::GetContentRange(HttpContentRange& range) {
  if (m_hRequest == nullptr)
    ThrowExceptionW(u"CHttpResponseT::GetContentRange: m_hRequest can not be NULL.", 0);
  std::string value;
  if (platform::QueryResponseHeader(m_hRequest, "Content-Range", value))
    return ParseContentRange(value, range);
  uint32_t error = platform::LastInternetError();
  if (error == platform::kErrorHttpHeaderNotFound)
    return false;
  ThrowFormattedExceptionW(httperror::kHttpQueryInfo, error, nullptr);
}

// --- CHttpClientT: the GET

CHttpResponseT* CHttpClientT::Get(const char16_t* szUrl, bool bUseCache) {
  return GetWithOptions(nullptr, nullptr, szUrl,
                        bUseCache ? kHttpGetFlagsUseCache : kHttpGetFlagsNoCache, nullptr, nullptr,
                        nullptr);
}

CHttpResponseT* CHttpClientT::GetWithOptions(HINTERNET hInternet, HINTERNET hConnection,
                                             const char16_t* szUrl, uint32_t dwFlags,
                                             const char16_t* szReferrer, const char16_t* szUserName,
                                             const char16_t* szPassword) {
  HINTERNET hOwnInternet = nullptr;
  HINTERNET hOwnConnection = nullptr;
  HINTERNET hRequest = nullptr;
  std::unique_ptr<char16_t[]> requestUrl;
  auto cleanUp = [&] {
    requestUrl.reset();
    CHttpToolW::CloseInternetHandle(hRequest);
    CHttpToolW::CloseInternetHandle(hOwnConnection);
    CHttpToolW::CloseInternetHandle(hOwnInternet);
  };
  try {
    if (hInternet == nullptr)
      hInternet = hOwnInternet = OpenInternet();
    if (hConnection == nullptr)
      hConnection = hOwnConnection = OpenConnection(hInternet, szUrl, szUserName, szPassword);
    const char16_t* url = szUrl;
    if (!m_mapParams.Empty()) {
      uint32_t units = GuardedW::Add(MakeGetUrlLen(szUrl), 1);
      GuardedW::Mul(units, 2);
      requestUrl.reset(new (std::nothrow) char16_t[units]);
      if (!requestUrl)
        ThrowExceptionW(httperror::kOutOfMemory);
      url = MakeGetUrl(requestUrl.get(), szUrl);
    }
    hRequest = OpenRequest(hConnection, u"GET", url, dwFlags, szReferrer);
    AddRequestHeader(hRequest);
    requestUrl.reset();
    CHttpToolW::SendRequest(hRequest, nullptr, m_nCodePage);
    auto* response = new CHttpResponseT(hOwnInternet, hOwnConnection, hRequest);
    hOwnInternet = hOwnConnection = hRequest = nullptr;
    return response;
  } catch (const httpclientexceptionW&) {
    cleanUp();
    throw;
  } catch (...) {
    cleanUp();
    ThrowExceptionW(httperror::kUnexpected);
  }
}

HINTERNET CHttpClientT::OpenInternet() {
  return CHttpToolW::OpenInternet(m_szAgent ? m_szAgent->c_str() : kDefaultUserAgent,
                                  m_dwAccessType, PtrOf(m_szProxy), PtrOf(m_szProxyBypass),
                                  m_dwOpenFlags);
}

bool CHttpClientT::IsHttpsScheme(const char16_t* szUrl, const CHttpUrlAnalyzerT& url) {
  if (url.SchemeLength() != 5)
    return false;
  return CHttpClientMapT::CompareNames(std::u16string(szUrl + url.SchemeStart(), 5).c_str(),
                                       u"https") == 0;
}

HINTERNET CHttpClientT::OpenConnection(HINTERNET hInternet, const char16_t* szUrl,
                                       const char16_t* szUserName, const char16_t* szPassword) {
  if (hInternet == nullptr)
    ThrowExceptionW(u"CHttpClientT::OpenConnection: hInternet can not be NULL.", 0);
  CHttpUrlAnalyzerT url;
  url.Analyze(szUrl, m_nCodePage);
  uint16_t port = IsHttpsScheme(szUrl, url) ? kHttpsPort : kHttpPort;
  if (url.PortLength() > 0) {
    if (url.PortLength() > kLongestPortText)
      ThrowExceptionW(httperror::kInvalidPort);
    if (!ReadPort(std::u16string_view(szUrl + url.PortStart(), url.PortLength()), port))
      ThrowExceptionW(httperror::kInvalidPort);
  }
  if (url.HostLength() == 0)
    ThrowExceptionW(httperror::kInvalidUrl);
  uint32_t hostUnits = GuardedW::Add(url.HostLength(), 1);
  GuardedW::Mul(hostUnits, 2);
  std::unique_ptr<char16_t[]> host(new (std::nothrow) char16_t[hostUnits]);
  if (!host)
    ThrowExceptionW(httperror::kOutOfMemory);
  *CopyUnits(host.get(), szUrl + url.HostStart(), url.HostLength()) = 0;

  HINTERNET hConnection = nullptr;
  try {
    hConnection = CHttpToolW::OpenConnection(hInternet, host.get(), port, szUserName, szPassword);
    ApplyProxyAccount(hConnection);
  } catch (...) {
    CHttpToolW::CloseInternetHandle(hConnection);
    throw;
  }
  return hConnection;
}

HINTERNET CHttpClientT::OpenRequest(HINTERNET hConnection, const char16_t* szVerb,
                                    const char16_t* szUrl, uint32_t dwFlags,
                                    const char16_t* szReferrer) {
  if (hConnection == nullptr)
    ThrowExceptionW(u"CHttpClientT::OpenRequest: hConnection can not be NULL.", 0);
  CHttpUrlAnalyzerT url;
  url.Analyze(szUrl, m_nCodePage);
  if (IsHttpsScheme(szUrl, url))
    dwFlags |= platform::kFlagSecure;

  const char16_t* objectName = u"/";
  std::unique_ptr<char16_t[]> objectBuffer;
  if (url.PathLength() > 0) {
    objectName = szUrl + url.PathStart();
  } else if (szUrl != nullptr && szUrl[url.PathStart()] != 0) {
    const char16_t* rest = szUrl + url.PathStart();
    uint32_t restLength = GuardedW::Length(WideLength(rest));
    uint32_t units = GuardedW::Add(restLength, 2);
    GuardedW::Mul(units, 2);
    objectBuffer.reset(new (std::nothrow) char16_t[units]);
    if (!objectBuffer)
      ThrowExceptionW(httperror::kOutOfMemory);
    objectBuffer[0] = u'/';
    *CopyUnits(objectBuffer.get() + 1, rest, restLength) = 0;
    objectName = objectBuffer.get();
  }

  HINTERNET hRequest = nullptr;
  try {
    hRequest =
        CHttpToolW::OpenRequest(hConnection, szVerb, objectName, dwFlags, szReferrer, m_nCodePage);
    if (dwFlags & platform::kFlagPragmaNoCache)
      CHttpToolW::AddHeader(hRequest, u"Cache-Control", u"no-cache", m_nCodePage);
  } catch (...) {
    CHttpToolW::CloseInternetHandle(hRequest);
    throw;
  }
  return hRequest;
}

void CHttpClientT::AddRequestHeader(HINTERNET hRequest) {
  if (hRequest == nullptr)
    ThrowExceptionW(u"CHttpClientT::AddRequestHeader: hRequest can not be NULL.", 0);
  for (const auto& entry : m_mapHeaders)
    CHttpToolW::AddHeader(hRequest, entry.Name(), entry.Value(), m_nCodePage);
}

void CHttpClientT::ApplyProxyAccount(HINTERNET hConnection) {
  if (hConnection == nullptr)
    ThrowExceptionW(u"CHttpClientT::ApplyProxyAccount: hConnection can not be NULL.", 0);
  if (!m_szProxyUser || !m_szProxyPwd || m_szProxyUser->empty() || m_szProxyPwd->empty())
    return;
  CHttpToolW::SetOption(hConnection, kOptionProxyUsername, m_szProxyUser->c_str(),
                        GuardedW::Length(m_szProxyUser->size()));
  CHttpToolW::SetOption(hConnection, kOptionProxyPassword, m_szProxyPwd->c_str(),
                        GuardedW::Length(m_szProxyPwd->size()));
}

// --- CHttpClientT: query strings

uint32_t CHttpClientT::EncodedLength(const char16_t* text, bool usedAsIs) const {
  if (usedAsIs)
    return GuardedW::Length(WideLength(text));
  return CHttpEncoderW::UrlEncodeLenW(text, m_bUrlUtf8, m_nCodePage);
}

char16_t* CHttpClientT::WriteEncoded(char16_t* out, const char16_t* text, bool usedAsIs) const {
  if (usedAsIs)
    return CopyUnits(out, text == nullptr ? u"" : text, WideLength(text));
  CHttpEncoderW::UrlEncodeW(out, text, m_bUrlUtf8, m_nCodePage);
  return out + WideLength(out);
}

uint32_t CHttpClientT::MakeGetUrlLen(const char16_t* szUrl) {
  uint32_t length = GuardedW::Length(WideLength(szUrl));
  for (const auto& entry : m_mapParams) {
    length = GuardedW::Add(length, EncodedLength(entry.Name(), entry.flags & HTTPMAP_NAME_ENCODED));
    length =
        GuardedW::Add(length, EncodedLength(entry.Value(), entry.flags & HTTPMAP_VALUE_ENCODED));
    length = GuardedW::Add(length, 2);
  }
  if (szUrl == nullptr)
    return GuardedW::Dec(length);
  CHttpUrlAnalyzerT url;
  url.Analyze(szUrl, m_nCodePage);
  return url.PathLength() == 0 ? GuardedW::Add(length, 1) : length;
}

char16_t* CHttpClientT::MakeGetUrl(char16_t* szBuff, const char16_t* szUrl) {
  if (szBuff == nullptr)
    ThrowExceptionW(u"CHttpClientT::MakeGetUrl: szBuff can not be NULL.", 0);
  char16_t* out = szBuff;
  if (m_mapParams.Empty()) {
    *CopyUnits(out, szUrl == nullptr ? u"" : szUrl, WideLength(szUrl)) = 0;
    return szBuff;
  }
  CHttpUrlAnalyzerT url;
  url.Analyze(szUrl, m_nCodePage);
  if (szUrl != nullptr) {
    out = CopyUnits(out, szUrl, url.PathStart());
    if (url.PathLength() == 0)
      *out++ = u'/';
    out = CopyUnits(out, szUrl + url.PathStart(), url.FragmentStart() - url.PathStart());
    *out++ = url.QueryLength() > 0 ? u'&' : u'?';
  }
  bool first = true;
  for (const auto& entry : m_mapParams) {
    if (!first)
      *out++ = u'&';
    first = false;
    out = WriteEncoded(out, entry.Name(), entry.flags & HTTPMAP_NAME_ENCODED);
    *out++ = u'=';
    out = WriteEncoded(out, entry.Value(), entry.flags & HTTPMAP_VALUE_ENCODED);
  }
  if (szUrl != nullptr)
    out = CopyUnits(out, szUrl + url.FragmentStart(), url.FragmentLength());
  *out = 0;
  return szBuff;
}

}  // namespace vexo
