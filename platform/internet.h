// The platform's HTTP service in the shape of WinINet, used synchronously: an Internet handle, a
// connection handle under it and a request handle under that. Windows runs over WinINet itself;
// other systems over a stand-in that keeps WinINet's behaviour and error numbers, so both builds
// report the same codes and send the same request.
//
// Every failed call returns false (or a null handle) and leaves its error for LastInternetError().
// Handles are closed with CloseInternetHandle in any order; each one owns what it needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/codepage.h"

namespace vexo::platform {

using InternetHandle = void*;

// Flags of OpenHttpRequest (WinINet's values).
inline constexpr uint32_t kFlagNoUi = 0x00000200;
inline constexpr uint32_t kFlagHyperlink = 0x00000400;
inline constexpr uint32_t kFlagResynchronize = 0x00000800;
inline constexpr uint32_t kFlagPragmaNoCache = 0x00000100;
inline constexpr uint32_t kFlagKeepConnection = 0x00400000;
inline constexpr uint32_t kFlagSecure = 0x00800000;
inline constexpr uint32_t kFlagNoCacheWrite = 0x04000000;
inline constexpr uint32_t kFlagReload = 0x80000000;

// Access types of OpenInternet.
inline constexpr uint32_t kAccessPreconfig = 0;  // the system's proxy settings
inline constexpr uint32_t kAccessDirect = 1;
inline constexpr uint32_t kAccessProxy = 3;

// Options of SetInternetOption. Timeouts are 32-bit milliseconds; a handle passes its timeouts to
// the handles opened under it afterwards. The receive timeout bounds any wait without progress.
inline constexpr uint32_t kOptionConnectTimeout = 2;
inline constexpr uint32_t kOptionSendTimeout = 5;
inline constexpr uint32_t kOptionReceiveTimeout = 6;
inline constexpr uint32_t kOptionProxyUsername = 43;  // UTF-16 text, length in characters
inline constexpr uint32_t kOptionProxyPassword = 44;

// Timeouts every new Internet handle starts with.
inline constexpr uint32_t kDefaultConnectTimeoutMs = 60000;
inline constexpr uint32_t kDefaultReceiveTimeoutMs = 30000;

// Modifier of AddHttpRequestHeaders: add the lines.
inline constexpr uint32_t kAddHeaderAdd = 0x20000000;

// Platform error values (WinINet's and Windows' numbers); kErrorInvalidParameter (87) comes
// from platform/codepage.h.
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorInternetTimeout = 12002;
inline constexpr uint32_t kErrorInternetInternalError = 12004;
inline constexpr uint32_t kErrorInternetNameNotResolved = 12007;
inline constexpr uint32_t kErrorInternetInvalidOption = 12009;
inline constexpr uint32_t kErrorInternetLoginFailure = 12015;  // a proxy refused the credentials
inline constexpr uint32_t kErrorInternetIncorrectHandleType = 12018;
inline constexpr uint32_t kErrorInternetCannotConnect = 12029;
inline constexpr uint32_t kErrorInternetConnectionAborted = 12030;
inline constexpr uint32_t kErrorInternetConnectionReset = 12031;
inline constexpr uint32_t kErrorHttpHeaderNotFound = 12150;
inline constexpr uint32_t kErrorHttpInvalidServerResponse = 12152;
inline constexpr uint32_t kErrorHttpInvalidHeader = 12153;
inline constexpr uint32_t kErrorHttpRedirectFailed = 12156;
inline constexpr uint32_t kErrorInternetSecurityChannel = 12157;
inline constexpr uint32_t kErrorInternetDecodingFailed = 12175;

InternetHandle OpenInternet(const char16_t* agent, uint32_t accessType, const char16_t* proxy,
                            const char16_t* proxyBypass, uint32_t flags);
// Opens a connection handle; no traffic happens before a request is sent.
InternetHandle ConnectInternet(InternetHandle internet, const char16_t* serverName, uint16_t port,
                               const char16_t* userName, const char16_t* password);
InternetHandle OpenHttpRequest(InternetHandle connection, const char* verb, const char* objectName,
                               const char* version, const char* referrer,
                               const char* const* acceptTypes, uint32_t flags);
// `headers` holds one or more "Name: value\r\n" lines.
bool AddHttpRequestHeaders(InternetHandle request, const char* headers, uint32_t length,
                           uint32_t modifiers);
// Sends the request and returns once the final response's headers are in (redirects followed).
bool SendHttpRequest(InternetHandle request, const void* optional, uint32_t optionalLength);
// Content-Length of the final response as a 32-bit number. Absent header: false with
// kErrorHttpHeaderNotFound; a value that is not a number of 32 bits: false with
// kErrorHttpInvalidHeader.
bool QueryContentLength(InternetHandle request, uint32_t& length);
// Status code of the final response.
bool QueryStatusCode(InternetHandle request, uint32_t& status);
// The value of the final response's first header called `name` (compared without regard to
// case). Absent header: false with kErrorHttpHeaderNotFound.
bool QueryResponseHeader(InternetHandle request, const char* name, std::string& value);
// Blocks until `size` bytes of the body are in `buffer` or the body has ended; `read` is 0 once it
// has ended. Never holds more than a small window of the body in memory. A read that fails after
// it stored some bytes returns false with `read` counting them, and every later read of the
// request fails with the same error.
bool ReadInternetFile(InternetHandle request, void* buffer, uint32_t size, uint32_t& read);
bool SetInternetOption(InternetHandle handle, uint32_t option, const void* buffer, uint32_t length);
bool CloseInternetHandle(InternetHandle handle);
uint32_t LastInternetError();

// Reads a Content-Length value: decimal digits with optional blanks around them, at most
// 4294967295. Shared by both backends so that they agree on what a valid length is.
inline bool ParseContentLength(std::string_view text, uint32_t& length) {
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && isBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back()))
    text.remove_suffix(1);
  if (text.empty())
    return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > UINT32_MAX)
      return false;
  }
  length = static_cast<uint32_t>(value);
  return true;
}

}  // namespace vexo::platform
