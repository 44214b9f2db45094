// The HTTP service over WinINet. UTF-16 texts are passed straight through: wchar_t is 16-bit here.
//
// Every handle given out is a record of this layer around WinINet's own handle. Requests follow
// redirects here rather than in WinINet, whose following has no bound on every version (wine's
// follows a loop for ever): each hop is a new WinINet connection and request under the same
// Internet handle, and the caller's request handle moves on to it, so that it always refers to
// the latest response.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/internet.h"
#include "platform/internet_handles.h"
#include "platform/win32/proxy_credentials_win.h"

namespace vexo::platform {
namespace {

constexpr int kMostRedirects = 20;

const wchar_t* W(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

void CloseKeepingError(HINTERNET handle) {
  if (handle == nullptr)
    return;
  DWORD error = GetLastError();
  InternetCloseHandle(handle);
  SetLastError(error);
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

bool SetTimeout(HINTERNET handle, DWORD option, DWORD milliseconds) {
  return InternetSetOptionW(handle, option, &milliseconds, sizeof milliseconds) != FALSE;
}

// Not every WinINet passes an Internet handle's timeouts on to the handles under it (wine's does
// not), so every connection and request is given them explicitly: no transfer then waits for
// ever on any WinINet.
bool ApplyTimeouts(HINTERNET handle, const Timeouts& timeouts) {
  return SetTimeout(handle, INTERNET_OPTION_CONNECT_TIMEOUT, timeouts.connectMs) &&
         SetTimeout(handle, INTERNET_OPTION_SEND_TIMEOUT, timeouts.sendMs) &&
         SetTimeout(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, timeouts.receiveMs);
}

void RecordTimeout(Timeouts& timeouts, uint32_t option, DWORD milliseconds) {
  DWORD& slot = option == INTERNET_OPTION_CONNECT_TIMEOUT ? timeouts.connectMs
                : option == INTERNET_OPTION_SEND_TIMEOUT  ? timeouts.sendMs
                                                          : timeouts.receiveMs;
  slot = milliseconds;
}

// An option other than a timeout set on a connection or request, kept to be set again on the
// WinINet handles of later hops.
struct Option {
  uint32_t id = 0;
  std::vector<unsigned char> value;
  DWORD length = 0;  // as passed: characters for texts, bytes otherwise
};

Option RecordOption(uint32_t id, const void* buffer, DWORD length) {
  bool text = id == INTERNET_OPTION_PROXY_USERNAME || id == INTERNET_OPTION_PROXY_PASSWORD;
  size_t bytes = text ? (static_cast<size_t>(length) + 1) * sizeof(wchar_t) : length;
  Option option{id, std::vector<unsigned char>(bytes, 0), length};
  if (buffer != nullptr)
    std::memcpy(option.value.data(), buffer, text ? bytes - sizeof(wchar_t) : bytes);
  return option;
}

bool ApplyOptions(HINTERNET handle, const std::vector<Option>& options) {
  for (const auto& option : options) {
    auto* value = const_cast<unsigned char*>(option.value.data());
    if (!InternetSetOptionW(handle, option.id, value, option.length))
      return false;
  }
  return true;
}

// Where one hop of a request goes.
struct Target {
  bool secure = false;
  std::string host;
  INTERNET_PORT port = 0;
  std::string object;
};

// What it takes to issue a request again elsewhere exactly as it was first issued.
struct RequestRecipe {
  std::optional<std::string> verb;
  std::optional<std::string> version;
  std::optional<std::string> referrer;
  std::vector<std::string> acceptTypes;
  uint32_t flags = 0;
  std::vector<std::pair<std::string, uint32_t>> headerLines;  // each addition with its modifiers
};

enum class Kind { kInternet, kConnection, kRequest };

struct Handle {
  Handle(Kind k, HINTERNET n) : kind(k), native(n) {}
  Kind kind;
  HINTERNET native;
  Timeouts timeouts;
  std::vector<Option> options;
  // Connections and requests.
  HINTERNET internet = nullptr;  // the native Internet handle above; not owned
  Target target;                 // for a connection, host and port only
  // Requests.
  std::vector<Option> connectionOptions;
  RequestRecipe recipe;
  HINTERNET hopConnection = nullptr;  // owned: the connection of the current hop, after a redirect
  uint64_t delivered = 0;             // body bytes handed out since the send
  DWORD failure = 0;                  // a read failed: every later read fails the same way
};

InternetHandleTable<Handle>& Handles() {
  static auto* table = new InternetHandleTable<Handle>;  // outlives every static destructor
  return *table;
}

Handle* FindHandle(InternetHandle value, Kind kind) {
  uint32_t error = 0;
  Handle* handle = Handles().Find(value, kind, error);
  if (handle == nullptr)
    Fail(error);
  return handle;
}

std::optional<std::string> TextOf(const char* text) {
  if (text == nullptr)
    return std::nullopt;
  return std::string(text);
}

const char* PointerOf(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

std::string NarrowHost(const char16_t* host) {
  const wchar_t* wide = W(host);
  int size = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1)
    return std::string();
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow.data(), size, nullptr, nullptr);
  narrow.pop_back();
  return narrow;
}

// --- issuing a request

RequestRecipe RecipeOf(const char* verb, const char* version, const char* referrer,
                       const char* const* acceptTypes, uint32_t flags) {
  RequestRecipe recipe;
  recipe.verb = TextOf(verb);
  recipe.version = TextOf(version);
  recipe.referrer = TextOf(referrer);
  for (; acceptTypes != nullptr && *acceptTypes != nullptr; ++acceptTypes)
    recipe.acceptTypes.emplace_back(*acceptTypes);
  recipe.flags = flags;
  return recipe;
}

uint32_t FlagsFor(const RequestRecipe& recipe, const Target& target) {
  uint32_t flags = (recipe.flags & ~INTERNET_FLAG_SECURE) | INTERNET_FLAG_NO_AUTO_REDIRECT;
  return target.secure ? flags | INTERNET_FLAG_SECURE : flags;
}

// A WinINet request for the recipe at `target`, with its timeouts, options and header lines.
HINTERNET OpenNativeRequest(HINTERNET connection, const Handle& request, const Target& target) {
  const RequestRecipe& recipe = request.recipe;
  std::vector<const char*> accept;
  for (const auto& type : recipe.acceptTypes)
    accept.push_back(type.c_str());
  accept.push_back(nullptr);
  HINTERNET native = HttpOpenRequestA(connection, PointerOf(recipe.verb), target.object.c_str(),
                                      PointerOf(recipe.version), PointerOf(recipe.referrer),
                                      recipe.acceptTypes.empty() ? nullptr : accept.data(),
                                      FlagsFor(recipe, target), 0);
  if (native == nullptr)
    return nullptr;
  bool ready = ApplyTimeouts(native, request.timeouts) && ApplyOptions(native, request.options);
  for (size_t i = 0; ready && i < recipe.headerLines.size(); ++i) {
    const auto& [lines, modifiers] = recipe.headerLines[i];
    ready = HttpAddRequestHeadersA(native, lines.data(), static_cast<DWORD>(lines.size()),
                                   modifiers) != FALSE;
  }
  if (!ready) {
    CloseKeepingError(native);
    return nullptr;
  }
  return native;
}

HINTERNET OpenHopConnection(const Handle& request, const Target& target) {
  HINTERNET connection = InternetConnectA(request.internet, target.host.c_str(), target.port,
                                          nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  if (connection == nullptr)
    return nullptr;
  if (!ApplyTimeouts(connection, request.timeouts) ||
      !ApplyOptions(connection, request.connectionOptions)) {
    CloseKeepingError(connection);
    return nullptr;
  }
  return connection;
}

// Points the request at `target` on a connection of its own; the handles of the previous hop are
// closed only once the new ones are open.
bool MoveTo(Handle& request, const Target& target) {
  HINTERNET connection = OpenHopConnection(request, target);
  if (connection == nullptr)
    return false;
  HINTERNET native = OpenNativeRequest(connection, request, target);
  if (native == nullptr) {
    CloseKeepingError(connection);
    return false;
  }
  InternetCloseHandle(request.native);
  if (request.hopConnection != nullptr)
    InternetCloseHandle(request.hopConnection);
  request.native = native;
  request.hopConnection = connection;
  request.target = target;
  return true;
}

// --- reading the answer's head

// A header's value as text. For HTTP_QUERY_CUSTOM the buffer carries the header's name in.
std::optional<std::string> QueryText(HINTERNET request, DWORD query, const std::string& name = "") {
  auto attempt = [&](std::string& text, DWORD& size) {
    text.replace(0, name.size() + 1, name.c_str(), name.size() + 1);
    size = static_cast<DWORD>(text.size());
    return HttpQueryInfoA(request, query, text.data(), &size, nullptr) != FALSE;
  };
  std::string text(std::max<size_t>(256, name.size() + 1), '\0');
  DWORD size = 0;
  if (!attempt(text, size)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return std::nullopt;
    text.assign(std::max<size_t>(size + 1, name.size() + 1), '\0');
    if (!attempt(text, size))
      return std::nullopt;
  }
  text.resize(size);
  return text;
}

// A server that closes without answering has given no response; some WinINets report it as an
// empty one, which is made a failure here. (A reply without a status line cannot be caught this
// way: wine's WinINet reports it exactly as a genuine "HTTP/1.0 200 OK" without headers.)
bool QueryStatus(HINTERNET request, DWORD& status) {
  DWORD size = sizeof status;
  if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                      nullptr) ||
      status < 100)
    return Fail(kErrorHttpInvalidServerResponse);
  return true;
}

bool IsRedirect(DWORD status) {
  return status == 301 || status == 302 || status == 303 || status == 307;
}

std::string UrlOf(const Target& target) {
  return std::string(target.secure ? "https://" : "http://") + target.host + ":" +
         std::to_string(target.port) + target.object;
}

std::optional<std::string> CombineUrl(const std::string& base, const std::string& relative) {
  std::string combined(base.size() + relative.size() + 64, '\0');
  DWORD size = static_cast<DWORD>(combined.size());
  if (!InternetCombineUrlA(base.c_str(), relative.c_str(), combined.data(), &size, ICU_NO_ENCODE)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return std::nullopt;
    combined.assign(size + 1, '\0');
    size = static_cast<DWORD>(combined.size());
    if (!InternetCombineUrlA(base.c_str(), relative.c_str(), combined.data(), &size, ICU_NO_ENCODE))
      return std::nullopt;
  }
  combined.resize(size);
  return combined;
}

// The target a Location header points to, resolved against the current one. Only http and https
// are followed, and never from https down to http.
bool RedirectTarget(const Target& from, const std::string& location, Target& to) {
  std::optional<std::string> url = CombineUrl(UrlOf(from), location);
  if (!url)
    return false;
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;
  if (!InternetCrackUrlA(url->c_str(), static_cast<DWORD>(url->size()), 0, &parts))
    return false;
  bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  if ((!secure && parts.nScheme != INTERNET_SCHEME_HTTP) || (from.secure && !secure))
    return false;
  if (parts.dwHostNameLength == 0 || parts.nPort == 0)
    return false;
  std::string object(parts.lpszUrlPath, parts.dwUrlPathLength);
  object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  object = object.substr(0, object.find('#'));
  to.secure = secure;
  to.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  to.port = parts.nPort;
  to.object = object.empty() || object[0] != '/' ? "/" + object : object;
  return true;
}

// --- a proxy that asks for credentials

// What is left of a refused answer's body; a proxy's error page is small, so more is not read.
bool DiscardBody(HINTERNET request) {
  char chunk[4096];
  for (int i = 0; i < 256; ++i) {
    DWORD got = 0;
    if (!InternetReadFile(request, chunk, sizeof chunk, &got))
      return false;
    if (got == 0)
      return true;
  }
  return Fail(kErrorInternetLoginFailure);
}

bool SetText(HINTERNET request, DWORD option, const std::wstring& text) {
  return InternetSetOptionW(request, option, const_cast<wchar_t*>(text.c_str()),
                            static_cast<DWORD>(text.size())) != FALSE;
}

// Gives the request the credentials the user saved for its proxy, for the next send.
bool ApplySavedProxyCredentials(const Handle& request) {
  std::optional<std::wstring> list = win32::ProxyListOf(request.internet);
  std::optional<std::wstring> server =
      list ? win32::ProxyServerFor(*list, request.target.secure) : std::nullopt;
  win32::ProxyCredentials credentials;
  if (!server || !win32::SavedProxyCredentials(*server, credentials))
    return Fail(kErrorInternetLoginFailure);
  return SetText(request.native, INTERNET_OPTION_PROXY_USERNAME, credentials.userName) &&
         SetText(request.native, INTERNET_OPTION_PROXY_PASSWORD, credentials.password) &&
         DiscardBody(request.native);
}

// Sends the request and reads its status. WinINet answers a proxy's NTLM or Negotiate by itself;
// a 407 that comes back is answered once more with the credentials saved for the proxy, and one
// after that fails the send: no loop, no question.
bool SendAnsweringProxy(Handle& request, const void* optional, uint32_t optionalLength,
                        DWORD& status) {
  auto send = [&] {
    return HttpSendRequestW(request.native, nullptr, 0, const_cast<void*>(optional),
                            optionalLength) &&
           QueryStatus(request.native, status);
  };
  if (!send())
    return false;
  if (status != HTTP_STATUS_PROXY_AUTH_REQ)
    return true;
  if (!ApplySavedProxyCredentials(request) || !send())
    return false;
  return status != HTTP_STATUS_PROXY_AUTH_REQ || Fail(kErrorInternetLoginFailure);
}

bool Send(Handle& request, const void* optional, uint32_t optionalLength) {
  request.delivered = 0;
  request.failure = 0;
  for (int hop = 0;; ++hop) {
    DWORD status = 0;
    if (!SendAnsweringProxy(request, optional, optionalLength, status))
      return false;
    if (!IsRedirect(status))
      return true;
    std::optional<std::string> location = QueryText(request.native, HTTP_QUERY_LOCATION);
    if (!location)
      return true;
    Target next;
    if (hop == kMostRedirects || !RedirectTarget(request.target, *location, next))
      return Fail(kErrorHttpRedirectFailed);
    if (!MoveTo(request, next))
      return false;
  }
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

bool CloseNatives(const Handle& handle) {
  bool closed = InternetCloseHandle(handle.native) != FALSE;
  if (handle.hopConnection != nullptr)
    CloseKeepingError(handle.hopConnection);
  return closed;
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
  return Handles().Add(std::make_unique<Handle>(Kind::kInternet, internet));
}

InternetHandle ConnectInternet(InternetHandle internet, const char16_t* serverName, uint16_t port,
                               const char16_t* userName, const char16_t* password) {
  Handle* parent = FindHandle(internet, Kind::kInternet);
  if (parent == nullptr)
    return nullptr;
  HINTERNET connection = InternetConnectW(parent->native, W(serverName), port, W(userName),
                                          W(password), INTERNET_SERVICE_HTTP, 0, 0);
  if (connection == nullptr)
    return nullptr;
  if (!ApplyTimeouts(connection, parent->timeouts)) {
    CloseKeepingError(connection);
    return nullptr;
  }
  auto handle = std::make_unique<Handle>(Kind::kConnection, connection);
  handle->timeouts = parent->timeouts;
  handle->internet = parent->native;
  handle->target.host = NarrowHost(serverName);
  handle->target.port = port;
  return Handles().Add(std::move(handle));
}

InternetHandle OpenHttpRequest(InternetHandle connection, const char* verb, const char* objectName,
                               const char* version, const char* referrer,
                               const char* const* acceptTypes, uint32_t flags) {
  Handle* parent = FindHandle(connection, Kind::kConnection);
  if (parent == nullptr)
    return nullptr;
  auto handle = std::make_unique<Handle>(Kind::kRequest, nullptr);
  handle->timeouts = parent->timeouts;
  handle->internet = parent->internet;
  handle->connectionOptions = parent->options;
  handle->recipe = RecipeOf(verb, version, referrer, acceptTypes, flags);
  handle->target = parent->target;
  handle->target.secure = (flags & INTERNET_FLAG_SECURE) != 0;
  if (handle->target.port == INTERNET_INVALID_PORT_NUMBER)
    handle->target.port =
        handle->target.secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  handle->target.object = objectName != nullptr ? objectName : "/";
  handle->native = OpenNativeRequest(parent->native, *handle, handle->target);
  if (handle->native == nullptr)
    return nullptr;
  return Handles().Add(std::move(handle));
}

bool AddHttpRequestHeaders(InternetHandle request, const char* headers, uint32_t length,
                           uint32_t modifiers) {
  Handle* handle = FindHandle(request, Kind::kRequest);
  if (handle == nullptr)
    return false;
  if (!HttpAddRequestHeadersA(handle->native, headers, length, modifiers))
    return false;
  size_t size = length == UINT32_MAX ? std::strlen(headers) : length;
  handle->recipe.headerLines.emplace_back(std::string(headers, size), modifiers);
  return true;
}

bool SendHttpRequest(InternetHandle request, const void* optional, uint32_t optionalLength) {
  Handle* handle = FindHandle(request, Kind::kRequest);
  return handle != nullptr && Send(*handle, optional, optionalLength);
}

// Read as text and parsed here, so that both builds agree on which values are valid.
bool QueryContentLength(InternetHandle request, uint32_t& length) {
  Handle* handle = FindHandle(request, Kind::kRequest);
  if (handle == nullptr)
    return false;
  char text[64];
  DWORD size = sizeof text;
  if (!HttpQueryInfoA(handle->native, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) {
    if (GetLastError() == ERROR_INSUFFICIENT_BUFFER)
      SetLastError(kErrorHttpInvalidHeader);
    return false;
  }
  if (!ParseContentLength(std::string_view(text, size), length))
    return Fail(kErrorHttpInvalidHeader);
  return true;
}

bool QueryStatusCode(InternetHandle request, uint32_t& status) {
  Handle* handle = FindHandle(request, Kind::kRequest);
  if (handle == nullptr)
    return false;
  DWORD code = 0;
  if (!QueryStatus(handle->native, code))
    return false;
  status = code;
  return true;
}

bool QueryResponseHeader(InternetHandle request, const char* name, std::string& value) {
  Handle* handle = FindHandle(request, Kind::kRequest);
  if (handle == nullptr)
    return false;
  if (name == nullptr || name[0] == 0)
    return Fail(ERROR_INVALID_PARAMETER);
  std::optional<std::string> text = QueryText(handle->native, HTTP_QUERY_CUSTOM, name);
  if (!text)
    return false;
  value = std::move(*text);
  return true;
}

// WinINet may hand out less than asked before the end; keep reading until the buffer is full or
// the body has ended.
bool ReadInternetFile(InternetHandle request, void* buffer, uint32_t size, uint32_t& read) {
  read = 0;
  Handle* handle = FindHandle(request, Kind::kRequest);
  if (handle == nullptr)
    return false;
  if (handle->failure != 0)
    return Fail(handle->failure);
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (read < size) {
    DWORD got = 0;
    if (!InternetReadFile(handle->native, bytes + read, size - read, &got)) {
      // Wine's WinINet counts the bytes it stored before the failure; they are the caller's.
      handle->failure = GetLastError();
      read += std::min<DWORD>(got, size - read);
      return Fail(handle->failure);
    }
    handle->delivered += got;
    if (got == 0) {
      if (EndedShort(handle->native, handle->delivered)) {
        handle->failure = kErrorInternetConnectionAborted;
        return Fail(handle->failure);
      }
      break;
    }
    read += got;
  }
  return true;
}

bool SetInternetOption(InternetHandle target, uint32_t option, const void* buffer,
                       uint32_t length) {
  Handle* handle = Handles().Find(target);
  if (handle == nullptr)
    return Fail(ERROR_INVALID_HANDLE);
  if (!InternetSetOptionW(handle->native, option, const_cast<void*>(buffer), length))
    return false;
  if (IsTimeoutOption(option) && length >= sizeof(DWORD))
    RecordTimeout(handle->timeouts, option, *static_cast<const DWORD*>(buffer));
  else if (handle->kind != Kind::kInternet)
    handle->options.push_back(RecordOption(option, buffer, length));
  return true;
}

bool CloseInternetHandle(InternetHandle handle) {
  std::unique_ptr<Handle> removed = Handles().Remove(handle);
  if (!removed)
    return Fail(ERROR_INVALID_HANDLE);
  return CloseNatives(*removed);
}

uint32_t LastInternetError() {
  return GetLastError();
}

}  // namespace vexo::platform
