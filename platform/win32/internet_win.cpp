// The HTTP service over WinINet. UTF-16 texts are passed straight through: wchar_t is 16-bit here.
#include <windows.h>
#include <wininet.h>

#include "platform/internet.h"

namespace vexo::platform {
namespace {

const wchar_t* W(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}
HINTERNET H(InternetHandle handle) {
  return static_cast<HINTERNET>(handle);
}

bool SetTimeout(HINTERNET handle, DWORD option, DWORD milliseconds) {
  return InternetSetOptionW(handle, option, &milliseconds, sizeof milliseconds) != FALSE;
}

// No transfer may hang: a bounded connect, and bounded waits for the request to go out and for
// each piece of the answer.
bool SetDefaultTimeouts(HINTERNET internet) {
  return SetTimeout(internet, INTERNET_OPTION_CONNECT_TIMEOUT, kDefaultConnectTimeoutMs) &&
         SetTimeout(internet, INTERNET_OPTION_SEND_TIMEOUT, kDefaultReceiveTimeoutMs) &&
         SetTimeout(internet, INTERNET_OPTION_RECEIVE_TIMEOUT, kDefaultReceiveTimeoutMs);
}

}  // namespace

InternetHandle OpenInternet(const char16_t* agent, uint32_t accessType, const char16_t* proxy,
                            const char16_t* proxyBypass, uint32_t flags) {
  HINTERNET internet = InternetOpenW(W(agent), accessType, W(proxy), W(proxyBypass), flags);
  if (internet == nullptr)
    return nullptr;
  if (!SetDefaultTimeouts(internet)) {
    DWORD error = GetLastError();
    InternetCloseHandle(internet);
    SetLastError(error);
    return nullptr;
  }
  return internet;
}

InternetHandle ConnectInternet(InternetHandle internet, const char16_t* serverName, uint16_t port,
                               const char16_t* userName, const char16_t* password) {
  return InternetConnectW(H(internet), W(serverName), port, W(userName), W(password),
                          INTERNET_SERVICE_HTTP, 0, 0);
}

InternetHandle OpenHttpRequest(InternetHandle connection, const char* verb, const char* objectName,
                               const char* version, const char* referrer,
                               const char* const* acceptTypes, uint32_t flags) {
  return HttpOpenRequestA(H(connection), verb, objectName, version, referrer,
                          const_cast<LPCSTR*>(acceptTypes), flags, 0);
}

bool AddHttpRequestHeaders(InternetHandle request, const char* headers, uint32_t length,
                           uint32_t modifiers) {
  return HttpAddRequestHeadersA(H(request), headers, length, modifiers) != FALSE;
}

bool SendHttpRequest(InternetHandle request, const void* optional, uint32_t optionalLength) {
  return HttpSendRequestW(H(request), nullptr, 0, const_cast<void*>(optional), optionalLength) !=
         FALSE;
}

// Read as text and parsed here, so that both builds agree on which values are valid.
bool QueryContentLength(InternetHandle request, uint32_t& length) {
  char text[64];
  DWORD size = sizeof text;
  if (!HttpQueryInfoA(H(request), HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) {
    if (GetLastError() == ERROR_INSUFFICIENT_BUFFER)
      SetLastError(kErrorHttpInvalidHeader);
    return false;
  }
  if (!ParseContentLength(std::string_view(text, size), length)) {
    SetLastError(kErrorHttpInvalidHeader);
    return false;
  }
  return true;
}

// WinINet may hand out less than asked before the end; keep reading until the buffer is full or
// the body has ended.
bool ReadInternetFile(InternetHandle request, void* buffer, uint32_t size, uint32_t& read) {
  read = 0;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (read < size) {
    DWORD got = 0;
    if (!InternetReadFile(H(request), bytes + read, size - read, &got))
      return false;
    if (got == 0)
      break;
    read += got;
  }
  return true;
}

bool SetInternetOption(InternetHandle handle, uint32_t option, const void* buffer,
                       uint32_t length) {
  return InternetSetOptionW(H(handle), option, const_cast<void*>(buffer), length) != FALSE;
}

bool CloseInternetHandle(InternetHandle handle) {
  return InternetCloseHandle(H(handle)) != FALSE;
}

uint32_t LastInternetError() {
  return GetLastError();
}

}  // namespace vexo::platform
