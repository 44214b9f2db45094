// The HTTP service over WinINet. UTF-16 texts are passed straight through: wchar_t is 16-bit here.
#include <windows.h>
#include <wininet.h>

#include <map>
#include <mutex>

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

struct Timeouts {
  DWORD connectMs = kDefaultConnectTimeoutMs;
  DWORD sendMs = kDefaultReceiveTimeoutMs;
  DWORD receiveMs = kDefaultReceiveTimeoutMs;
};

bool IsTimeoutOption(uint32_t option) {
  return option == INTERNET_OPTION_CONNECT_TIMEOUT || option == INTERNET_OPTION_SEND_TIMEOUT ||
         option == INTERNET_OPTION_RECEIVE_TIMEOUT;
}

// The timeouts of each open Internet handle. Not every WinINet passes an Internet handle's
// timeouts on to its connections (wine's does not), so each new connection is given them
// explicitly: no transfer then waits for ever on any WinINet.
class TimeoutTable {
 public:
  void Open(HINTERNET internet) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timeouts[internet] = Timeouts();
  }
  void Set(HINTERNET internet, uint32_t option, DWORD milliseconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_timeouts.find(internet);
    if (found == m_timeouts.end())
      return;
    DWORD& slot = option == INTERNET_OPTION_CONNECT_TIMEOUT ? found->second.connectMs
                  : option == INTERNET_OPTION_SEND_TIMEOUT  ? found->second.sendMs
                                                            : found->second.receiveMs;
    slot = milliseconds;
  }
  Timeouts Of(HINTERNET internet) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_timeouts.find(internet);
    return found == m_timeouts.end() ? Timeouts() : found->second;
  }
  void Close(HINTERNET handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timeouts.erase(handle);
    m_delivered.erase(handle);
  }
  // Body bytes handed out so far by a request handle.
  uint64_t Deliver(HINTERNET request, uint32_t count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_delivered[request] += count;
  }

 private:
  std::mutex m_mutex;
  std::map<HINTERNET, Timeouts> m_timeouts;
  std::map<HINTERNET, uint64_t> m_delivered;
};

TimeoutTable& OpenTimeouts() {
  static TimeoutTable* table = new TimeoutTable;  // outlives every static destructor
  return *table;
}

bool ApplyTimeouts(HINTERNET handle, const Timeouts& timeouts) {
  return SetTimeout(handle, INTERNET_OPTION_CONNECT_TIMEOUT, timeouts.connectMs) &&
         SetTimeout(handle, INTERNET_OPTION_SEND_TIMEOUT, timeouts.sendMs) &&
         SetTimeout(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, timeouts.receiveMs);
}

void CloseKeepingError(HINTERNET handle) {
  DWORD error = GetLastError();
  InternetCloseHandle(handle);
  SetLastError(error);
}

}  // namespace

InternetHandle OpenInternet(const char16_t* agent, uint32_t accessType, const char16_t* proxy,
                            const char16_t* proxyBypass, uint32_t flags) {
  HINTERNET internet = InternetOpenW(W(agent), accessType, W(proxy), W(proxyBypass), flags);
  if (internet == nullptr)
    return nullptr;
  // No transfer may hang: a bounded connect, and bounded waits for the request to go out and
  // for each piece of the answer.
  if (!ApplyTimeouts(internet, Timeouts())) {
    CloseKeepingError(internet);
    return nullptr;
  }
  OpenTimeouts().Open(internet);
  return internet;
}

InternetHandle ConnectInternet(InternetHandle internet, const char16_t* serverName, uint16_t port,
                               const char16_t* userName, const char16_t* password) {
  HINTERNET connection = InternetConnectW(H(internet), W(serverName), port, W(userName),
                                          W(password), INTERNET_SERVICE_HTTP, 0, 0);
  if (connection == nullptr)
    return nullptr;
  if (!ApplyTimeouts(connection, OpenTimeouts().Of(H(internet)))) {
    CloseKeepingError(connection);
    return nullptr;
  }
  return connection;
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

// A server that closes without answering is not a response; some WinINets report it as an empty
// one, which is made a failure here.
bool SendHttpRequest(InternetHandle request, const void* optional, uint32_t optionalLength) {
  if (!HttpSendRequestW(H(request), nullptr, 0, const_cast<void*>(optional), optionalLength))
    return false;
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!HttpQueryInfoW(H(request), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                      nullptr) ||
      status < 100) {
    SetLastError(kErrorHttpInvalidServerResponse);
    return false;
  }
  return true;
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

// WinINet ends a body that the connection cut short like a complete one. A body without chunks
// that ends before its announced length was not received whole, and is not reported as if it were.
bool EndedShort(HINTERNET request, uint64_t delivered) {
  char text[64];
  DWORD size = sizeof text;
  if (HttpQueryInfoA(request, HTTP_QUERY_TRANSFER_ENCODING, text, &size, nullptr))
    return false;
  uint32_t announced = 0;
  size = sizeof text;
  return HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr) &&
         ParseContentLength(std::string_view(text, size), announced) && delivered < announced;
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
    uint64_t delivered = OpenTimeouts().Deliver(H(request), got);
    if (got == 0) {
      if (EndedShort(H(request), delivered)) {
        SetLastError(kErrorInternetConnectionAborted);
        return false;
      }
      break;
    }
    read += got;
  }
  return true;
}

bool SetInternetOption(InternetHandle handle, uint32_t option, const void* buffer,
                       uint32_t length) {
  if (!InternetSetOptionW(H(handle), option, const_cast<void*>(buffer), length))
    return false;
  if (IsTimeoutOption(option) && length >= sizeof(DWORD))
    OpenTimeouts().Set(H(handle), option, *static_cast<const DWORD*>(buffer));
  return true;
}

bool CloseInternetHandle(InternetHandle handle) {
  OpenTimeouts().Close(H(handle));
  return InternetCloseHandle(H(handle)) != FALSE;
}

uint32_t LastInternetError() {
  return GetLastError();
}

}  // namespace vexo::platform
