// The HTTP service as a WinINet stand-in over libcurl's multi interface, driven on the calling
// thread. A request handle runs one transfer: SendHttpRequest drives it until the final
// response's headers are in (following redirects itself), then the transfer is paused, and each
// ReadInternetFile unpauses it just long enough to fill the caller's buffer. At most one write
// callback's worth of the body is ever held here, whatever the body's size.
#include <curl/curl.h>
#include <malloc.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "platform/internet.h"
#include "platform/internet_handles.h"
#include "platform/posix/internet_proxy.h"

namespace vexo::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kErrorInternetInvalidUrl = 12005;
// What WinINet reports for a server certificate it does not accept.
constexpr uint32_t kErrorCertificateDateInvalid = 12037;
constexpr uint32_t kErrorCertificateNameInvalid = 12038;
constexpr uint32_t kErrorCertificateAuthorityInvalid = 12045;
// OpenSSL's verification results (Debian's libcurl is built on OpenSSL) that mean "not valid now".
constexpr long kVerifyCertificateNotYetValid = 9;
constexpr long kVerifyCertificateExpired = 10;
constexpr int kMostRedirects = 20;
constexpr long kTransferBufferSize = 64 * 1024;
// Header lines kept of one response, at most; a server that sends more is not remembered past it.
constexpr size_t kMostHeaderBytes = 64 * 1024;

thread_local uint32_t t_lastError = 0;

bool Fail(uint32_t error) {
  t_lastError = error;
  return false;
}

std::nullptr_t FailHandle(uint32_t error) {
  t_lastError = error;
  return nullptr;
}

std::optional<std::string> Utf8Of(const char16_t* text) {
  if (text == nullptr)
    return std::nullopt;
  std::string out;
  uint32_t error = 0;
  WideToNarrow(kCodePageUtf8, text, out, error);
  return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// --- what each handle knows

struct Timeouts {
  uint32_t connectMs = kDefaultConnectTimeoutMs;
  uint32_t sendMs = kDefaultReceiveTimeoutMs;
  uint32_t receiveMs = kDefaultReceiveTimeoutMs;
};

struct SessionSettings {
  std::optional<std::string> agent;
  uint32_t accessType = kAccessPreconfig;
  std::string proxy;
  std::string proxyBypass;
};

struct ServerSettings {
  std::string host;
  uint16_t port = 0;
  std::optional<std::string> userName;
  std::optional<std::string> password;
  std::string proxyUserName;
  std::string proxyPassword;
};

// Where one hop of a request goes.
struct Target {
  bool secure = false;
  std::string host;
  uint16_t port = 0;
  std::string object;  // request target: path and query
};

// One libcurl transfer and what it has seen of the current response.
struct Transfer {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;

  bool connected = false;
  bool viaProxy = false;
  long status = 0;
  bool headersDone = false;
  std::vector<std::pair<std::string, std::string>> headers;  // of the current response
  size_t headerBytes = 0;
  bool finished = false;
  CURLcode result = CURLE_OK;
  bool progressed = false;

  // The caller's buffer during a read, and the rest of a callback's bytes that did not fit.
  unsigned char* dest = nullptr;
  size_t room = 0;
  size_t filled = 0;
  std::vector<char> spill;
  size_t spillUsed = 0;
  bool paused = false;

  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() {
    if (easy != nullptr) {
      if (multi != nullptr)
        curl_multi_remove_handle(multi, easy);
      curl_easy_cleanup(easy);
    }
    if (multi != nullptr)
      curl_multi_cleanup(multi);
    curl_slist_free_all(headerList);
  }
};

enum class Kind { kInternet, kConnection, kRequest };

struct Handle {
  explicit Handle(Kind k) : kind(k) {}
  Kind kind;
  Timeouts timeouts;
  SessionSettings session;
  ServerSettings server;
  // Request handles only.
  std::string verb;
  std::string object;
  std::optional<std::string> referrer;
  std::vector<std::string> acceptTypes;
  uint32_t flags = 0;
  std::vector<std::string> addedHeaders;
  std::unique_ptr<Transfer> transfer;
  uint32_t failure = 0;  // a read failed: every later read fails the same way
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

bool InitialiseCurl() {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return initialised;
}

// --- the request on the wire

bool IsHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

// A host name or address the resolver may be asked about; anything else cannot be resolved.
bool IsPlainHost(std::string_view host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    return std::all_of(host.begin() + 1, host.end() - 1, [](char c) {
      return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
    });
  return !host.empty() && std::all_of(host.begin(), host.end(), IsHostCharacter);
}

uint16_t DefaultPort(bool secure) {
  return secure ? 443 : 80;
}

// Spaces and control characters cannot stand in a request line; they are escaped, the way
// WinINet escapes the spaces of an object name.
std::string EscapeObject(std::string_view object) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : object) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || byte == '#') {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

std::string HostHeaderValue(const Target& target) {
  if (target.port == DefaultPort(target.secure))
    return target.host;
  return target.host + ":" + std::to_string(target.port);
}

std::string UrlOf(const Target& target) {
  return std::string(target.secure ? "https://" : "http://") + target.host + ":" +
         std::to_string(target.port) + target.object;
}

// The header lines in the order WinINet sends them: those of the request handle (accept types,
// referrer, added lines), then what the send adds (Host, User-Agent, cache and connection lines).
// libcurl would put a Host line of ours first; the empty "Host:" line before it removes libcurl's
// own, so that ours goes out where it stands.
std::vector<std::string> HeaderLinesFor(const Handle& request, const Target& target) {
  std::vector<std::string> lines{"Host:"};
  std::string accept;
  for (const auto& type : request.acceptTypes)
    accept += (accept.empty() ? "" : ", ") + type;
  if (!accept.empty())
    lines.push_back("Accept: " + accept);
  if (request.referrer)
    lines.push_back("Referer: " + *request.referrer);
  lines.insert(lines.end(), request.addedHeaders.begin(), request.addedHeaders.end());
  lines.push_back("Host: " + HostHeaderValue(target));
  if (request.session.agent)
    lines.push_back("User-Agent: " + *request.session.agent);
  if (request.flags & (kFlagPragmaNoCache | kFlagReload))
    lines.push_back("Pragma: no-cache");
  if (request.flags & kFlagKeepConnection)
    lines.push_back("Connection: Keep-Alive");
  return lines;
}

// The value of the response's first header called `name`; null when it has none.
const std::string* FirstHeader(const Transfer& transfer, std::string_view name) {
  for (const auto& [headerName, value] : transfer.headers)
    if (EqualNoCase(headerName, name))
      return &value;
  return nullptr;
}

// --- libcurl callbacks

// A proxy's 407 is not the final response while libcurl may still answer it with credentials;
// if it is the last one, the transfer ends after it without a final response.
bool AsksForProxyCredentials(const Transfer& transfer) {
  return transfer.viaProxy && transfer.status == 407;
}

size_t OnHeaderLine(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  size_t length = size * count;
  transfer.progressed = true;
  std::string_view line(data, length);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.remove_suffix(1);
  if (line.substr(0, 5) == "HTTP/") {
    size_t space = line.find(' ');
    transfer.status = space == std::string_view::npos
                          ? 0
                          : std::atol(std::string(line.substr(space + 1, 3)).c_str());
    transfer.headers.clear();
    transfer.headerBytes = 0;
    return length;
  }
  if (line.empty()) {
    if (transfer.status >= 200 && !AsksForProxyCredentials(transfer))
      transfer.headersDone = true;
    return length;
  }
  size_t colon = line.find(':');
  if (colon == std::string_view::npos)
    return length;
  std::string_view name = line.substr(0, colon);
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
    value.remove_prefix(1);
  if (transfer.headerBytes + length <= kMostHeaderBytes) {
    transfer.headerBytes += length;
    transfer.headers.emplace_back(name, value);
  }
  return length;
}

size_t OnBodyBytes(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  size_t length = size * count;
  if (!transfer.headersDone)
    return length;  // the body of a response before the final one (the proxy's 407)
  if (transfer.dest == nullptr || transfer.filled == transfer.room) {
    transfer.paused = true;  // libcurl keeps these bytes and offers them again on unpause
    return CURL_WRITEFUNC_PAUSE;
  }
  transfer.progressed = true;
  size_t take = std::min(length, transfer.room - transfer.filled);
  std::memcpy(transfer.dest + transfer.filled, data, take);
  transfer.filled += take;
  if (take < length) {
    transfer.spill.assign(data + take, data + length);
    transfer.spillUsed = 0;
  }
  return length;
}

int OnConnected(void* user, char*, char*, int, int) {
  static_cast<Transfer*>(user)->connected = true;
  return CURL_PREREQFUNC_OK;
}

// The WinINet error for a certificate that was refused: its dates, its issuer, or (when the
// chain itself verified) the host name it is for.
uint32_t CertificateErrorOf(CURL* easy) {
  long verifyResult = -1;
  if (curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verifyResult) != CURLE_OK)
    return kErrorCertificateAuthorityInvalid;
  if (verifyResult == 0)
    return kErrorCertificateNameInvalid;
  if (verifyResult == kVerifyCertificateNotYetValid || verifyResult == kVerifyCertificateExpired)
    return kErrorCertificateDateInvalid;
  return kErrorCertificateAuthorityInvalid;
}

// The conventional variables replace the system's trust store when either is set: the file of
// CA certificates and the folder of hashed ones (several separated by ':').
void ApplyTrustStore(CURL* easy) {
  auto variable = [](const char* name) -> const char* {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != 0 ? value : nullptr;
  };
  const char* file = variable("SSL_CERT_FILE");
  const char* folder = variable("SSL_CERT_DIR");
  if (file == nullptr && folder == nullptr)
    return;
  curl_easy_setopt(easy, CURLOPT_CAINFO, file);
  curl_easy_setopt(easy, CURLOPT_CAPATH, folder);
}

uint32_t ErrorOf(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kErrorInternetNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return kErrorInternetCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return kErrorInternetTimeout;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
      return kErrorInternetSecurityChannel;
    case CURLE_PEER_FAILED_VERIFICATION:
      return kErrorCertificateAuthorityInvalid;
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return kErrorInternetDecodingFailed;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return kErrorHttpInvalidServerResponse;
    case CURLE_TOO_MANY_REDIRECTS:
      return kErrorHttpRedirectFailed;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return kErrorInternetConnectionAborted;
    case CURLE_OUT_OF_MEMORY:
      return kErrorNotEnoughMemory;
    case CURLE_URL_MALFORMAT:
      return kErrorInternetInvalidUrl;
    default:
      return kErrorInternetInternalError;
  }
}

// --- the way to the server

// The handle's own proxy, none, or the preconfigured one for this URL.
posix::ProxyRoute RouteFor(const Handle& request, const Target& target) {
  const SessionSettings& session = request.session;
  if (session.accessType == kAccessDirect)
    return {};
  if (session.accessType == kAccessProxy) {
    posix::ProxyRoute route = posix::RouteThrough(session.proxy);
    route.noProxy = session.proxyBypass;
    return route;
  }
  return posix::PreconfiguredRoute(UrlOf(target), target.secure);
}

// Sets the route explicitly, so libcurl reads no variable of its own. Credentials (the handle's
// proxy account, else the proxy URL's) go to the proxy alone, in whichever scheme it asks for;
// without any, only Negotiate is tried, with the user's Kerberos ticket.
void ApplyRoute(CURL* easy, const Handle& request, const posix::ProxyRoute& route,
                Transfer& transfer) {
  curl_easy_setopt(easy, CURLOPT_PROXY, route.proxy.c_str());
  curl_easy_setopt(easy, CURLOPT_NOPROXY, route.noProxy.c_str());
  transfer.viaProxy = !route.proxy.empty();
  if (!transfer.viaProxy)
    return;
  std::optional<std::string> user = route.userName;
  std::string password = route.password;
  if (!request.server.proxyUserName.empty()) {
    user = request.server.proxyUserName;
    password = request.server.proxyPassword;
  }
  curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, user.value_or("").c_str());
  curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, password.c_str());
  curl_easy_setopt(easy, CURLOPT_PROXYAUTH,
                   static_cast<unsigned long>(user ? CURLAUTH_ANY : CURLAUTH_NEGOTIATE));
}

// --- driving a transfer

bool StartTransfer(Handle& request, const Target& target, const void* optional,
                   uint32_t optionalLength) {
  request.transfer = std::make_unique<Transfer>();
  Transfer& transfer = *request.transfer;
  transfer.multi = curl_multi_init();
  transfer.easy = curl_easy_init();
  if (transfer.multi == nullptr || transfer.easy == nullptr)
    return Fail(kErrorNotEnoughMemory);
  for (const auto& line : HeaderLinesFor(request, target)) {
    curl_slist* grown = curl_slist_append(transfer.headerList, line.c_str());
    if (grown == nullptr)
      return Fail(kErrorNotEnoughMemory);
    transfer.headerList = grown;
  }
  CURL* easy = transfer.easy;
  std::string url = UrlOf(target);
  bool set = curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK;
  if (!set)
    return Fail(kErrorInternetInvalidUrl);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  ApplyTrustStore(easy);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headerList);
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeouts.connectMs));
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kTransferBufferSize);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeaderLine);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBodyBytes);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, OnConnected);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);
  if (request.verb != "GET")
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.verb.c_str());
  if (optional != nullptr && optionalLength > 0) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(optionalLength));
    curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, static_cast<const char*>(optional));
  }

  ApplyRoute(easy, request, RouteFor(request, target), transfer);
  const ServerSettings& server = request.server;
  if (server.userName && !server.userName->empty()) {
    curl_easy_setopt(easy, CURLOPT_USERNAME, server.userName->c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, server.password.value_or("").c_str());
  }
  if (curl_multi_add_handle(transfer.multi, easy) != CURLM_OK)
    return Fail(kErrorInternetInternalError);
  return true;
}

void CollectResult(Transfer& transfer) {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(transfer.multi, &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == transfer.easy) {
      transfer.finished = true;
      transfer.result = message->data.result;
    }
  }
}

// The proxy refused to open a tunnel (to an https server) without other credentials.
bool TunnelAskedForCredentials(const Transfer& transfer) {
  long code = 0;
  return transfer.viaProxy &&
         curl_easy_getinfo(transfer.easy, CURLINFO_HTTP_CONNECTCODE, &code) == CURLE_OK &&
         code == 407;
}

// Runs the transfer until `done` holds or it ends. libcurl bounds the connect; once connected,
// a wait of the receive timeout without a byte of progress fails with the timeout error.
template <typename Done>
bool Drive(const Handle& request, Transfer& transfer, Done done) {
  const auto stallLimit = std::chrono::milliseconds(request.timeouts.receiveMs);
  auto lastProgress = Clock::now();
  bool wasConnected = transfer.connected;
  while (!done() && !transfer.finished) {
    int running = 0;
    if (curl_multi_perform(transfer.multi, &running) != CURLM_OK)
      return Fail(kErrorInternetInternalError);
    CollectResult(transfer);
    if (done() || transfer.finished)
      break;
    auto now = Clock::now();
    if (transfer.progressed || (transfer.connected && !wasConnected)) {
      transfer.progressed = false;
      wasConnected = transfer.connected;
      lastProgress = now;
    }
    int waitMs = 100;
    if (transfer.connected) {
      auto quiet = now - lastProgress;
      if (quiet >= stallLimit)
        return Fail(kErrorInternetTimeout);
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(stallLimit - quiet);
      waitMs = static_cast<int>(std::clamp<long long>(left.count(), 1, 1000));
    }
    curl_multi_poll(transfer.multi, nullptr, 0, waitMs, nullptr);
  }
  if (transfer.finished && transfer.result == CURLE_PEER_FAILED_VERIFICATION)
    return Fail(CertificateErrorOf(transfer.easy));
  if (transfer.finished && transfer.result != CURLE_OK && TunnelAskedForCredentials(transfer))
    return Fail(kErrorInternetLoginFailure);
  if (transfer.finished && transfer.result != CURLE_OK)
    return Fail(ErrorOf(transfer.result));
  return true;
}

bool IsRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307;
}

// The target a Location header points to, resolved against the current one. Only http and https
// are followed, and never from https down to http.
bool RedirectTarget(const Target& from, const std::string& location, Target& to) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
  if (!url || curl_url_set(url.get(), CURLUPART_URL, UrlOf(from).c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_URL, location.c_str(), CURLU_ALLOW_SPACE) != CURLUE_OK)
    return false;
  auto part = [&](CURLUPart which, unsigned flags, std::string& out) {
    char* text = nullptr;
    if (curl_url_get(url.get(), which, &text, flags) != CURLUE_OK)
      return false;
    out = text;
    curl_free(text);
    return true;
  };
  std::string scheme, host, port, path, query;
  if (!part(CURLUPART_SCHEME, 0, scheme) || !part(CURLUPART_HOST, 0, host) ||
      !part(CURLUPART_PORT, CURLU_DEFAULT_PORT, port) || !part(CURLUPART_PATH, 0, path))
    return false;
  bool hasQuery = part(CURLUPART_QUERY, 0, query);
  if (scheme != "http" && scheme != "https")
    return false;
  if (from.secure && scheme == "http")
    return false;
  unsigned long number = std::strtoul(port.c_str(), nullptr, 10);
  if (number == 0 || number > 65535)
    return false;
  to.secure = scheme == "https";
  to.host = host;
  to.port = static_cast<uint16_t>(number);
  to.object = EscapeObject(path + (hasQuery ? "?" + query : ""));
  return true;
}

bool Send(Handle& request, const void* optional, uint32_t optionalLength) {
  request.transfer.reset();
  request.failure = 0;
  Target target;
  target.secure = (request.flags & kFlagSecure) != 0;
  target.host = request.server.host;
  target.port = request.server.port != 0 ? request.server.port : DefaultPort(target.secure);
  target.object = EscapeObject(request.object);
  for (int hop = 0;; ++hop) {
    if (!IsPlainHost(target.host))
      return Fail(kErrorInternetNameNotResolved);
    if (!StartTransfer(request, target, optional, optionalLength)) {
      request.transfer.reset();
      return false;
    }
    Transfer& transfer = *request.transfer;
    if (!Drive(request, transfer, [&] { return transfer.headersDone; })) {
      request.transfer.reset();
      return false;
    }
    if (!transfer.headersDone) {
      uint32_t error = AsksForProxyCredentials(transfer) ? kErrorInternetLoginFailure
                                                         : kErrorHttpInvalidServerResponse;
      request.transfer.reset();
      return Fail(error);
    }
    const std::string* location = FirstHeader(transfer, "Location");
    if (!IsRedirect(transfer.status) || location == nullptr)
      return true;
    if (hop == kMostRedirects || !RedirectTarget(target, *location, target)) {
      request.transfer.reset();
      return Fail(kErrorHttpRedirectFailed);
    }
  }
}

void DrainSpill(Transfer& transfer) {
  if (transfer.spill.empty())
    return;
  size_t take =
      std::min(transfer.spill.size() - transfer.spillUsed, transfer.room - transfer.filled);
  std::memcpy(transfer.dest + transfer.filled, transfer.spill.data() + transfer.spillUsed, take);
  transfer.filled += take;
  transfer.spillUsed += take;
  if (transfer.spillUsed == transfer.spill.size()) {
    transfer.spill.clear();
    transfer.spillUsed = 0;
  }
}

bool Read(Handle& request, void* buffer, uint32_t size, uint32_t& read) {
  if (request.failure != 0)
    return Fail(request.failure);
  if (!request.transfer)
    return Fail(kErrorInternetConnectionAborted);
  Transfer& transfer = *request.transfer;
  transfer.dest = static_cast<unsigned char*>(buffer);
  transfer.room = size;
  transfer.filled = 0;
  DrainSpill(transfer);
  bool ok = true;
  if (transfer.filled < transfer.room && transfer.paused) {
    transfer.paused = false;
    // Offers the bytes libcurl kept back, straight into the caller's buffer.
    if (curl_easy_pause(transfer.easy, CURLPAUSE_CONT) != CURLE_OK)
      ok = Fail(kErrorInternetConnectionAborted);
  }
  if (ok)
    ok = Drive(request, transfer, [&] { return transfer.filled == transfer.room; });
  read = static_cast<uint32_t>(transfer.filled);
  transfer.dest = nullptr;
  transfer.room = transfer.filled = 0;
  if (!ok)
    request.failure = t_lastError;
  return ok;
}

}  // namespace

// --- the service

InternetHandle OpenInternet(const char16_t* agent, uint32_t accessType, const char16_t* proxy,
                            const char16_t* proxyBypass, uint32_t /*flags*/) {
  if (!InitialiseCurl())
    return FailHandle(kErrorInternetInternalError);
  if (accessType != kAccessPreconfig && accessType != kAccessDirect && accessType != kAccessProxy)
    return FailHandle(kErrorInvalidParameter);
  if (accessType == kAccessProxy && (proxy == nullptr || proxy[0] == 0))
    return FailHandle(kErrorInvalidParameter);
  auto handle = std::make_unique<Handle>(Kind::kInternet);
  handle->session.agent = Utf8Of(agent);
  handle->session.accessType = accessType;
  handle->session.proxy = Utf8Of(proxy).value_or("");
  handle->session.proxyBypass = Utf8Of(proxyBypass).value_or("");
  return Handles().Add(std::move(handle));
}

InternetHandle ConnectInternet(InternetHandle internet, const char16_t* serverName, uint16_t port,
                               const char16_t* userName, const char16_t* password) {
  Handle* parent = FindHandle(internet, Kind::kInternet);
  if (parent == nullptr)
    return nullptr;
  if (serverName == nullptr || serverName[0] == 0)
    return FailHandle(kErrorInvalidParameter);
  auto handle = std::make_unique<Handle>(Kind::kConnection);
  handle->timeouts = parent->timeouts;
  handle->session = parent->session;
  handle->server.host = *Utf8Of(serverName);
  handle->server.port = port;  // 0: the scheme's default port, as WinINet reads it
  handle->server.userName = Utf8Of(userName);
  handle->server.password = Utf8Of(password);
  return Handles().Add(std::move(handle));
}

InternetHandle OpenHttpRequest(InternetHandle connection, const char* verb, const char* objectName,
                               const char* version, const char* referrer,
                               const char* const* acceptTypes, uint32_t flags) {
  Handle* parent = FindHandle(connection, Kind::kConnection);
  if (parent == nullptr)
    return nullptr;
  if (version != nullptr && std::string_view(version) != "HTTP/1.1")
    return FailHandle(kErrorInvalidParameter);
  auto handle = std::make_unique<Handle>(Kind::kRequest);
  handle->timeouts = parent->timeouts;
  handle->session = parent->session;
  handle->server = parent->server;
  handle->verb = verb != nullptr && verb[0] != 0 ? verb : "GET";
  handle->object = objectName != nullptr && objectName[0] != 0 ? objectName : "/";
  if (referrer != nullptr && referrer[0] != 0)
    handle->referrer = referrer;
  for (; acceptTypes != nullptr && *acceptTypes != nullptr; ++acceptTypes)
    handle->acceptTypes.emplace_back(*acceptTypes);
  handle->flags = flags;
  return Handles().Add(std::move(handle));
}

bool AddHttpRequestHeaders(InternetHandle request, const char* headers, uint32_t length,
                           uint32_t /*modifiers*/) {
  Handle* handle = FindHandle(request, Kind::kRequest);
  if (handle == nullptr)
    return false;
  if (headers == nullptr)
    return Fail(kErrorInvalidParameter);
  std::string_view text(headers, length == UINT32_MAX ? std::strlen(headers) : length);
  std::vector<std::string> lines;
  while (!text.empty()) {
    size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty())
      continue;
    size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos)
      return Fail(kErrorInvalidParameter);
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ')
      value.remove_prefix(1);
    // libcurl sends "Name;" as a header with an empty value ("Name:" would remove it).
    std::string name(line.substr(0, colon));
    lines.push_back(value.empty() ? name + ";" : name + ": " + std::string(value));
  }
  handle->addedHeaders.insert(handle->addedHeaders.end(), lines.begin(), lines.end());
  return true;
}

bool SendHttpRequest(InternetHandle request, const void* optional, uint32_t optionalLength) {
  Handle* handle = FindHandle(request, Kind::kRequest);
  return handle != nullptr && Send(*handle, optional, optionalLength);
}

// The transfer whose final response's head is in; null (with the error) before that.
const Transfer* AnsweredTransfer(InternetHandle request, uint32_t errorBefore) {
  Handle* handle = FindHandle(request, Kind::kRequest);
  if (handle == nullptr)
    return nullptr;
  if (!handle->transfer || !handle->transfer->headersDone)
    return FailHandle(errorBefore);
  return handle->transfer.get();
}

bool QueryContentLength(InternetHandle request, uint32_t& length) {
  std::string value;
  if (!QueryResponseHeader(request, "Content-Length", value))
    return false;
  if (!ParseContentLength(value, length))
    return Fail(kErrorHttpInvalidHeader);
  return true;
}

bool QueryStatusCode(InternetHandle request, uint32_t& status) {
  const Transfer* transfer = AnsweredTransfer(request, kErrorHttpHeaderNotFound);
  if (transfer == nullptr)
    return false;
  status = static_cast<uint32_t>(transfer->status);
  return true;
}

bool QueryResponseHeader(InternetHandle request, const char* name, std::string& value) {
  const Transfer* transfer = AnsweredTransfer(request, kErrorHttpHeaderNotFound);
  if (transfer == nullptr)
    return false;
  if (name == nullptr)
    return Fail(kErrorInvalidParameter);
  const std::string* found = FirstHeader(*transfer, name);
  if (found == nullptr)
    return Fail(kErrorHttpHeaderNotFound);
  value = *found;
  return true;
}

bool ReadInternetFile(InternetHandle request, void* buffer, uint32_t size, uint32_t& read) {
  read = 0;
  Handle* handle = FindHandle(request, Kind::kRequest);
  if (handle == nullptr)
    return false;
  if (buffer == nullptr)
    return Fail(kErrorInvalidParameter);
  if (size == 0)
    return true;
  return Read(*handle, buffer, size, read);
}

bool SetInternetOption(InternetHandle target, uint32_t option, const void* buffer,
                       uint32_t length) {
  Handle* handle = Handles().Find(target);
  if (handle == nullptr)
    return Fail(kErrorInvalidHandle);
  if (buffer == nullptr)
    return Fail(kErrorInvalidParameter);
  auto number = [&](uint32_t& into) {
    if (length < sizeof(uint32_t))
      return Fail(kErrorInvalidParameter);
    std::memcpy(&into, buffer, sizeof into);
    return true;
  };
  auto text = [&](std::string& into) {
    std::u16string units(static_cast<const char16_t*>(buffer), length);
    into = *Utf8Of(units.c_str());
    return true;
  };
  switch (option) {
    case kOptionConnectTimeout:
      return number(handle->timeouts.connectMs);
    case kOptionSendTimeout:
      return number(handle->timeouts.sendMs);
    case kOptionReceiveTimeout:
      return number(handle->timeouts.receiveMs);
    case kOptionProxyUsername:
      return text(handle->server.proxyUserName);
    case kOptionProxyPassword:
      return text(handle->server.proxyPassword);
    default:
      return Fail(kErrorInternetInvalidOption);
  }
}

bool CloseInternetHandle(InternetHandle handle) {
  std::unique_ptr<Handle> removed = Handles().Remove(handle);
  if (!removed)
    return Fail(kErrorInvalidHandle);
  bool request = removed->kind == Kind::kRequest;
  removed.reset();
  // The pages that a request's buffers (libcurl's, the TLS session's) took go back to the system
  // with it, so that an agent idling for hours after its few requests does not keep them.
  if (request)
    malloc_trim(0);
  return true;
}

uint32_t LastInternetError() {
  return t_lastError;
}

}  // namespace vexo::platform
