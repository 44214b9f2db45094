// Thin tool layers over the platform HTTP service. CHttpToolA takes narrow texts and throws
// httpclientexceptionA; CHttpToolW takes wide texts, converts them with a code page, and throws
// only httpclientexceptionW. Neither keeps any state.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/internet.h"

namespace vexo {

using HINTERNET = platform::InternetHandle;

class CHttpToolA {
 public:
  static HINTERNET OpenRequest(HINTERNET hConnection, const char* szVerb, const char* szObjectName,
                               uint32_t dwFlags, const char* szReferrer);
  static void AddHeader(HINTERNET hRequest, const char* szName, const char* szValue);
};

class CHttpToolW {
 public:
  static HINTERNET OpenInternet(const char16_t* szUserAgent, uint32_t dwAccessType,
                                const char16_t* szProxyName, const char16_t* szProxyBypass,
                                uint32_t dwFlags);
  static void SetOption(HINTERNET hInternet, uint32_t dwOption, const void* lpBuffer,
                        uint32_t dwBufferLength);
  static HINTERNET OpenConnection(HINTERNET hInternet, const char16_t* szServerAddr, uint16_t nPort,
                                  const char16_t* szUserName, const char16_t* szPassword);
  static HINTERNET OpenRequest(HINTERNET hConnection, const char16_t* szVerb,
                               const char16_t* szObjectName, uint32_t dwFlags,
                               const char16_t* szReferrer, uint32_t CodePage);
  static void AddHeader(HINTERNET hRequest, const char16_t* szName, const char16_t* szValue,
                        uint32_t CodePage);
  static void SendRequest(HINTERNET hRequest, const char16_t* szPosted, uint32_t CodePage);
  // Closes the handle when the variable holds one and clears the variable; false for none.
  static bool CloseInternetHandle(HINTERNET& hInternet) noexcept;

  // Whole-text conversions into new buffers that belong to the caller; null in, null out.
  static std::unique_ptr<char[]> Unicode2Ansi(const char16_t* szStr, uint32_t CodePage);
  static std::unique_ptr<char16_t[]> Ansi2Unicode(const char* szStr, uint32_t CodePage);
};

}  // namespace vexo
