// The HTTP client: CHttpClientT opens the Internet handle, the connection and a GET request,
// sends it and hands the handles to a CHttpResponseT, from which the caller reads the body.
// Every failure leaves as httpclientexceptionW (http/http_error.h).
//
//   vexo::CHttpClientT client;
//   std::unique_ptr<vexo::CHttpResponseT> response(client.Get(url, false));
//   uint32_t length = 0;
//   bool announced = response->GetContentLength(length);
//   uint32_t n = response->ReadContent(buffer, size);
//
// A download that resumes asks for the rest with a header and reads what came back:
//
//   client.Headers().Add(u"Range", vexo::RangeFrom(received).c_str());
//   uint32_t status = response->GetStatusCode();   // 206 for a partial answer
//   vexo::HttpContentRange range;
//   bool partial = response->GetContentRange(range);
//
// Only the wide flavour exists: the client runs over CHttpToolW and CHttpEncoderW.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_error.h"
#include "http/http_range.h"
#include "http/http_tool.h"
#include "http/http_url.h"

namespace vexo {

// Flags of CHttpClientMapT entries: the text is used as it is instead of being URL-encoded.
inline constexpr uint32_t HTTPMAP_NAME_ENCODED = 2;
inline constexpr uint32_t HTTPMAP_VALUE_ENCODED = 4;

// Flags of Get.
inline constexpr uint32_t kHttpGetFlagsUseCache = 0x00400E00;
inline constexpr uint32_t kHttpGetFlagsNoCache = 0x84400F00;

inline constexpr const char16_t* kDefaultUserAgent = u"Tavel HTTP Client Class";

// Name/value entries kept in ascending order of name: a null name first, then ordinal order with
// ASCII letters compared without regard to case; equal names keep the order they were added in.
class CHttpClientMapT {
 public:
  struct Entry {
    std::optional<std::u16string> name;
    std::optional<std::u16string> value;
    uint32_t flags = 0;

    const char16_t* Name() const { return name ? name->c_str() : nullptr; }
    const char16_t* Value() const { return value ? value->c_str() : nullptr; }
  };

  CHttpClientMapT() = default;
  virtual ~CHttpClientMapT() = default;

  void Add(const char16_t* szName, const char16_t* szValue, uint32_t dwFlags = 0);
  // Entries named `szName` (compared as the order compares); all entries for a null name.
  uint32_t Count(const char16_t* szName = nullptr) const;
  void Clear() noexcept { m_entries.clear(); }
  bool Empty() const { return m_entries.empty(); }

  std::vector<Entry>::const_iterator begin() const { return m_entries.begin(); }
  std::vector<Entry>::const_iterator end() const { return m_entries.end(); }

  // <0, 0, >0 as the map orders two names.
  static int CompareNames(const char16_t* a, const char16_t* b);

 private:
  std::vector<Entry> m_entries;
};

// The answer of one GET: owns the request handle, and the connection and Internet handles when
// the GET opened them.
class CHttpResponseT {
 public:
  CHttpResponseT(HINTERNET hInternet, HINTERNET hConnection, HINTERNET hRequest) noexcept;
  virtual ~CHttpResponseT();
  CHttpResponseT(const CHttpResponseT&) = delete;
  CHttpResponseT& operator=(const CHttpResponseT&) = delete;

  // True with the Content-Length value when the final response carries one; false without it.
  bool GetContentLength(uint32_t& cbContLen);
  // Fills pbyBuff until cbBuff bytes are in or the body has ended; 0 once it has ended.
  uint32_t ReadContent(uint8_t* pbyBuff, uint32_t cbBuff);
  // As ReadContent, except that a transfer that fails after some bytes of this call arrived
  // returns them, and the next call raises the failure: a download that keeps what it received
  // loses nothing when it is cut.
  uint32_t ReadContentUpToFailure(uint8_t* pbyBuff, uint32_t cbBuff);
  // The final response's status code.
  uint32_t GetStatusCode();
  // True with the range of a partial response's Content-Range when it names a satisfied range of
  // a known complete length; false when the header is absent or says anything else.
  bool GetContentRange(HttpContentRange& range);

 private:
  // One platform read, its arguments checked in the name of `operation`.
  uint32_t Read(std::u16string_view operation, uint8_t* pbyBuff, uint32_t cbBuff,
                bool keepBytesBeforeFailure);

  HINTERNET m_hInternet;
  HINTERNET m_hConnection;
  HINTERNET m_hRequest;
};

class CHttpClientT {
 public:
  CHttpClientT() noexcept = default;
  virtual ~CHttpClientT() = default;
  CHttpClientT(const CHttpClientT&) = delete;
  CHttpClientT& operator=(const CHttpClientT&) = delete;

  // A GET with the cache used or bypassed; the response belongs to the caller.
  CHttpResponseT* Get(const char16_t* szUrl, bool bUseCache);
  // Handles passed in stay the caller's; those opened here pass to the response.
  CHttpResponseT* GetWithOptions(HINTERNET hInternet, HINTERNET hConnection, const char16_t* szUrl,
                                 uint32_t dwFlags, const char16_t* szReferrer,
                                 const char16_t* szUserName, const char16_t* szPassword);

  HINTERNET OpenInternet();
  HINTERNET OpenConnection(HINTERNET hInternet, const char16_t* szUrl, const char16_t* szUserName,
                           const char16_t* szPassword);
  HINTERNET OpenRequest(HINTERNET hConnection, const char16_t* szVerb, const char16_t* szUrl,
                        uint32_t dwFlags, const char16_t* szReferrer);
  void AddRequestHeader(HINTERNET hRequest);
  void ApplyProxyAccount(HINTERNET hConnection);
  char16_t* MakeGetUrl(char16_t* szBuff, const char16_t* szUrl);
  uint32_t MakeGetUrlLen(const char16_t* szUrl);

  // Settings; the agent keeps every default.
  void SetUseUtf8(bool bUseUtf8) { m_bUrlUtf8 = bUseUtf8; }
  void SetCodePage(uint32_t nCodePage) { m_nCodePage = nCodePage; }
  void SetUserAgent(const char16_t* szAgent) { m_szAgent = Own(szAgent); }
  void SetProxyInfo(uint32_t dwAccessType, const char16_t* szProxy, const char16_t* szBypass) {
    m_dwAccessType = dwAccessType;
    m_szProxy = Own(szProxy);
    m_szProxyBypass = Own(szBypass);
  }
  void SetInternetFlags(uint32_t dwFlags) { m_dwOpenFlags = dwFlags; }
  void SetProxyAccount(const char16_t* szUser, const char16_t* szPassword) {
    m_szProxyUser = Own(szUser);
    m_szProxyPwd = Own(szPassword);
  }
  CHttpClientMapT& Headers() { return m_mapHeaders; }
  CHttpClientMapT& Params() { return m_mapParams; }

 private:
  static std::optional<std::u16string> Own(const char16_t* text) {
    return text ? std::optional<std::u16string>(text) : std::nullopt;
  }
  static const char16_t* PtrOf(const std::optional<std::u16string>& text) {
    return text ? text->c_str() : nullptr;
  }
  static bool IsHttpsScheme(const char16_t* szUrl, const CHttpUrlAnalyzerT& url);
  uint32_t EncodedLength(const char16_t* text, bool usedAsIs) const;
  char16_t* WriteEncoded(char16_t* out, const char16_t* text, bool usedAsIs) const;

  bool m_bUrlUtf8 = false;
  uint32_t m_nCodePage = 0;
  CHttpClientMapT m_mapHeaders;
  CHttpClientMapT m_mapParams;
  std::optional<std::u16string> m_szAgent;
  uint32_t m_dwAccessType = 0;
  std::optional<std::u16string> m_szProxy;
  std::optional<std::u16string> m_szProxyBypass;
  uint32_t m_dwOpenFlags = 0;
  std::optional<std::u16string> m_szProxyUser;
  std::optional<std::u16string> m_szProxyPwd;
};

}  // namespace vexo
