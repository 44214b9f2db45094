// The HTTP service as a WinINet stand-in over libcurl's multi interface. Each request's transfer
// runs in a child process of its own, so that libcurl and the TLS libraries it brings are never
// loaded into the (long-lived) calling process: the child drives the transfer until the final
// response's headers are in (following redirects itself), sends them up one pipe, streams the
// body up another and, once the body pipe is closed, sends the outcome after the headers.
// SendHttpRequest waits for the headers, and each ReadInternetFile takes from the body pipe until
// the caller's buffer is full or the body ends. The pipe's capacity bounds what is held between
// the two, whatever the body's size.
#include <fcntl.h>
#include <signal.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
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
#include "platform/posix/curl_library.h"
#include "platform/posix/internet_proxy.h"

namespace vexo::platform {
namespace {

using Clock = std::chrono::steady_clock;
using posix::Curl;

constexpr uint32_t kErrorInternetInvalidUrl = 12005;
// What WinINet reports for a server certificate it does not accept.
constexpr uint32_t kErrorCertificateDateInvalid = 12037;
constexpr uint32_t kErrorCertificateNameInvalid = 12038;
constexpr uint32_t kErrorCertificateAuthorityInvalid = 12045;
// OpenSSL's verification results (Debian's libcurl is built on OpenSSL) that mean "not valid now".
constexpr long kVerifyCertificateNotYetValid = 9;
constexpr long kVerifyCertificateExpired = 10;
constexpr int kMostRedirects = 20;
constexpr long kTransferBufferSize = 256 * 1024;
// Header lines kept of one response, at most; a server that sends more is not remembered past it.
constexpr size_t kMostHeaderBytes = 64 * 1024;
// How much of the body the child may send ahead of the caller's reads.
constexpr int kPipeBytes = 1024 * 1024;

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

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One libcurl transfer (in the child) and what it has seen of the current response.
struct Transfer {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;

  bool connected = false;
  bool viaProxy = false;
  long status = 0;
  bool headersDone = false;
  HeaderList headers;  // of the current response
  size_t headerBytes = 0;
  bool finished = false;
  CURLcode result = CURLE_OK;
  bool progressed = false;

  // Where the final response's body goes once its headers are sent up: a pipe to the parent.
  // Until then its bytes are held back by pausing the transfer.
  int bodyPipe = -1;
  bool paused = false;

  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() {
    if (easy != nullptr) {
      if (multi != nullptr)
        Curl().multi_remove_handle(multi, easy);
      Curl().easy_cleanup(easy);
    }
    if (multi != nullptr)
      Curl().multi_cleanup(multi);
    Curl().slist_free_all(headerList);
  }
};

// A request's transfer as the calling process sees it: the child that runs it, the pipes it
// writes to (the head and the outcome; the body), and the final response's head. Ending it ends
// the child.
struct Exchange {
  pid_t child = -1;
  int control = -1;
  int body = -1;
  long status = 0;
  HeaderList headers;
  bool ended = false;

  Exchange() = default;
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;
  ~Exchange() {
    for (int end : {control, body})
      if (end >= 0)
        close(end);
    if (child > 0) {
      kill(child, SIGKILL);
      while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
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
  std::unique_ptr<Transfer> transfer;  // in the child that runs it
  std::unique_ptr<Exchange> exchange;  // in the process that asked for it
  uint32_t failure = 0;                // a read failed: every later read fails the same way
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
  static const bool initialised =
      posix::LoadCurl() != nullptr && Curl().global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
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
const std::string* FirstHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& [headerName, value] : headers)
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

// --- what the child sends up its control pipe: frames of a kind byte, a 32-bit length and that
// many bytes

enum class Frame : char { kHead = 'H', kEnd = 'E' };
constexpr size_t kFrameHeadBytes = 5;

bool WriteAll(int fd, iovec* parts, int count) {
  while (count > 0) {
    ssize_t written = writev(fd, parts, count);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    auto left = static_cast<size_t>(written);
    while (count > 0 && left >= parts->iov_len) {
      left -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + left;
      parts->iov_len -= left;
    }
  }
  return true;
}

bool WriteFrame(int fd, Frame kind, const void* bytes, size_t length) {
  char head[kFrameHeadBytes] = {static_cast<char>(kind)};
  auto length32 = static_cast<uint32_t>(length);
  std::memcpy(head + 1, &length32, sizeof length32);
  iovec parts[] = {{head, sizeof head}, {const_cast<void*>(bytes), length}};
  return WriteAll(fd, parts, length > 0 ? 2 : 1);
}

void AppendCounted(std::string& out, std::string_view text) {
  auto length = static_cast<uint32_t>(text.size());
  out.append(reinterpret_cast<const char*>(&length), sizeof length);
  out.append(text);
}

bool WriteHead(int fd, const Transfer& transfer) {
  std::string head;
  int64_t status = transfer.status;
  head.append(reinterpret_cast<const char*>(&status), sizeof status);
  for (const auto& [name, value] : transfer.headers) {
    AppendCounted(head, name);
    AppendCounted(head, value);
  }
  return WriteFrame(fd, Frame::kHead, head.data(), head.size());
}

bool WriteEnd(int fd, uint32_t error) {
  return WriteFrame(fd, Frame::kEnd, &error, sizeof error);
}

bool ReadExactly(int fd, void* into, size_t length) {
  auto* at = static_cast<char*>(into);
  while (length > 0) {
    ssize_t got = read(fd, at, length);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    at += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

bool ReadFrameHead(int fd, Frame& kind, uint32_t& length) {
  char head[kFrameHeadBytes];
  if (!ReadExactly(fd, head, sizeof head))
    return false;
  kind = static_cast<Frame>(head[0]);
  std::memcpy(&length, head + 1, sizeof length);
  return true;
}

bool TakeCounted(std::string_view& from, std::string& out) {
  uint32_t length = 0;
  if (from.size() < sizeof length)
    return false;
  std::memcpy(&length, from.data(), sizeof length);
  from.remove_prefix(sizeof length);
  if (from.size() < length)
    return false;
  out.assign(from.substr(0, length));
  from.remove_prefix(length);
  return true;
}

bool ParseHead(std::string_view from, Exchange& exchange) {
  int64_t status = 0;
  if (from.size() < sizeof status)
    return false;
  std::memcpy(&status, from.data(), sizeof status);
  from.remove_prefix(sizeof status);
  exchange.status = static_cast<long>(status);
  while (!from.empty()) {
    std::string name, value;
    if (!TakeCounted(from, name) || !TakeCounted(from, value))
      return false;
    exchange.headers.emplace_back(std::move(name), std::move(value));
  }
  return true;
}

// --- libcurl callbacks, continued

size_t OnBodyBytes(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  size_t length = size * count;
  if (!transfer.headersDone)
    return length;  // the body of a response before the final one (the proxy's 407)
  if (transfer.bodyPipe < 0) {
    transfer.paused = true;  // libcurl keeps these bytes and offers them again on unpause
    return CURL_WRITEFUNC_PAUSE;
  }
  transfer.progressed = true;
  // A parent that is gone wants no more: the transfer ends with a write error.
  iovec bytes = {data, length};
  return WriteAll(transfer.bodyPipe, &bytes, 1) ? length : 0;
}

int OnConnected(void* user, char*, char*, int, int) {
  static_cast<Transfer*>(user)->connected = true;
  return CURL_PREREQFUNC_OK;
}

// The WinINet error for a certificate that was refused: its dates, its issuer, or (when the
// chain itself verified) the host name it is for.
uint32_t CertificateErrorOf(CURL* easy) {
  long verifyResult = -1;
  if (Curl().easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verifyResult) != CURLE_OK)
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
  Curl().easy_setopt(easy, CURLOPT_CAINFO, file);
  Curl().easy_setopt(easy, CURLOPT_CAPATH, folder);
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
  Curl().easy_setopt(easy, CURLOPT_PROXY, route.proxy.c_str());
  Curl().easy_setopt(easy, CURLOPT_NOPROXY, route.noProxy.c_str());
  transfer.viaProxy = !route.proxy.empty();
  if (!transfer.viaProxy)
    return;
  std::optional<std::string> user = route.userName;
  std::string password = route.password;
  if (!request.server.proxyUserName.empty()) {
    user = request.server.proxyUserName;
    password = request.server.proxyPassword;
  }
  Curl().easy_setopt(easy, CURLOPT_PROXYUSERNAME, user.value_or("").c_str());
  Curl().easy_setopt(easy, CURLOPT_PROXYPASSWORD, password.c_str());
  Curl().easy_setopt(easy, CURLOPT_PROXYAUTH,
                     static_cast<unsigned long>(user ? CURLAUTH_ANY : CURLAUTH_NEGOTIATE));
}

// --- driving a transfer

bool StartTransfer(Handle& request, const Target& target, const void* optional,
                   uint32_t optionalLength) {
  request.transfer = std::make_unique<Transfer>();
  Transfer& transfer = *request.transfer;
  transfer.multi = Curl().multi_init();
  transfer.easy = Curl().easy_init();
  if (transfer.multi == nullptr || transfer.easy == nullptr)
    return Fail(kErrorNotEnoughMemory);
  for (const auto& line : HeaderLinesFor(request, target)) {
    curl_slist* grown = Curl().slist_append(transfer.headerList, line.c_str());
    if (grown == nullptr)
      return Fail(kErrorNotEnoughMemory);
    transfer.headerList = grown;
  }
  CURL* easy = transfer.easy;
  std::string url = UrlOf(target);
  bool set = Curl().easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK;
  if (!set)
    return Fail(kErrorInternetInvalidUrl);
  Curl().easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  Curl().easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  Curl().easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  ApplyTrustStore(easy);
  Curl().easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  Curl().easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  Curl().easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  Curl().easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headerList);
  Curl().easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  Curl().easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(request.timeouts.connectMs));
  Curl().easy_setopt(easy, CURLOPT_BUFFERSIZE, kTransferBufferSize);
  Curl().easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeaderLine);
  Curl().easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
  Curl().easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBodyBytes);
  Curl().easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  Curl().easy_setopt(easy, CURLOPT_PREREQFUNCTION, OnConnected);
  Curl().easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);
  if (request.verb != "GET")
    Curl().easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.verb.c_str());
  if (optional != nullptr && optionalLength > 0) {
    Curl().easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(optionalLength));
    Curl().easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, static_cast<const char*>(optional));
  }

  ApplyRoute(easy, request, RouteFor(request, target), transfer);
  const ServerSettings& server = request.server;
  if (server.userName && !server.userName->empty()) {
    Curl().easy_setopt(easy, CURLOPT_USERNAME, server.userName->c_str());
    Curl().easy_setopt(easy, CURLOPT_PASSWORD, server.password.value_or("").c_str());
  }
  if (Curl().multi_add_handle(transfer.multi, easy) != CURLM_OK)
    return Fail(kErrorInternetInternalError);
  return true;
}

void CollectResult(Transfer& transfer) {
  int left = 0;
  while (CURLMsg* message = Curl().multi_info_read(transfer.multi, &left)) {
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
         Curl().easy_getinfo(transfer.easy, CURLINFO_HTTP_CONNECTCODE, &code) == CURLE_OK &&
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
    if (Curl().multi_perform(transfer.multi, &running) != CURLM_OK)
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
    Curl().multi_poll(transfer.multi, nullptr, 0, waitMs, nullptr);
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
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(Curl().url(), Curl().url_cleanup);
  if (!url || Curl().url_set(url.get(), CURLUPART_URL, UrlOf(from).c_str(), 0) != CURLUE_OK ||
      Curl().url_set(url.get(), CURLUPART_URL, location.c_str(), CURLU_ALLOW_SPACE) != CURLUE_OK)
    return false;
  auto part = [&](CURLUPart which, unsigned flags, std::string& out) {
    char* text = nullptr;
    if (Curl().url_get(url.get(), which, &text, flags) != CURLUE_OK)
      return false;
    out = text;
    Curl().free(text);
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

// Runs the request, hop by hop, until the final response's headers are in.
bool DriveToFinalHead(Handle& request, const void* optional, uint32_t optionalLength) {
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
    const std::string* location = FirstHeader(transfer.headers, "Location");
    if (!IsRedirect(transfer.status) || location == nullptr)
      return true;
    if (hop == kMostRedirects || !RedirectTarget(target, *location, target)) {
      request.transfer.reset();
      return Fail(kErrorHttpRedirectFailed);
    }
  }
}

// The child's whole life: the transfer, its head up `control`, its body up `body`, and the
// outcome last, once `body` is closed.
[[noreturn]] void RunInChild(Handle& request, const void* optional, uint32_t optionalLength,
                             int control, int body) {
  // The caller's close signals are its own business: here they end the child as they would
  // any program, and a parent that stops reading ends it through the pipe.
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
    ::signal(signal, SIG_DFL);
  bool sent = false;
  try {
    if (!InitialiseCurl()) {
      sent = WriteEnd(control, kErrorInternetInternalError);
    } else if (!DriveToFinalHead(request, optional, optionalLength)) {
      sent = WriteEnd(control, t_lastError);
    } else if (WriteHead(control, *request.transfer)) {
      Transfer& transfer = *request.transfer;
      transfer.bodyPipe = body;
      bool ok = true;
      if (transfer.paused) {
        transfer.paused = false;
        // Offers the bytes libcurl kept back while the head went up.
        if (Curl().easy_pause(transfer.easy, CURLPAUSE_CONT) != CURLE_OK)
          ok = Fail(kErrorInternetConnectionAborted);
      }
      ok = ok && Drive(request, transfer, [] { return false; });
      close(body);
      sent = WriteEnd(control, ok ? 0 : t_lastError);
    }
  } catch (...) {
    close(body);
    sent = WriteEnd(control, kErrorNotEnoughMemory);
  }
  _exit(sent ? 0 : 1);
}

// Starts the request's child and waits for the final response's head, or the failure.
bool Send(Handle& request, const void* optional, uint32_t optionalLength) {
  request.exchange.reset();
  request.failure = 0;
  auto exchange = std::make_unique<Exchange>();
  int control[2];
  if (pipe2(control, O_CLOEXEC) != 0)
    return Fail(kErrorInternetInternalError);
  exchange->control = control[0];
  int body[2];
  if (pipe2(body, O_CLOEXEC) != 0) {
    close(control[1]);
    return Fail(kErrorInternetInternalError);
  }
  exchange->body = body[0];
  fcntl(body[1], F_SETPIPE_SZ, kPipeBytes);  // a smaller pipe only means more, smaller steps
  pid_t child = fork();
  if (child == 0) {
    close(control[0]);
    close(body[0]);
    RunInChild(request, optional, optionalLength, control[1], body[1]);
  }
  close(control[1]);
  close(body[1]);
  if (child < 0)
    return Fail(kErrorNotEnoughMemory);
  exchange->child = child;
  Frame kind{};
  uint32_t length = 0;
  if (!ReadFrameHead(exchange->control, kind, length))
    return Fail(kErrorInternetInternalError);
  std::string payload(length, '\0');
  if (!ReadExactly(exchange->control, payload.data(), length))
    return Fail(kErrorInternetInternalError);
  if (kind == Frame::kEnd) {
    uint32_t error = kErrorInternetInternalError;
    if (length == sizeof error)
      std::memcpy(&error, payload.data(), sizeof error);
    return Fail(error);
  }
  if (kind != Frame::kHead || !ParseHead(payload, *exchange))
    return Fail(kErrorInternetInternalError);
  request.exchange = std::move(exchange);
  return true;
}

// The outcome the child sends once the body has ended: 0, or why the transfer failed.
uint32_t OutcomeOf(Exchange& exchange) {
  exchange.ended = true;
  Frame kind{};
  uint32_t length = 0;
  uint32_t error = kErrorInternetConnectionAborted;
  if (!ReadFrameHead(exchange.control, kind, length) || kind != Frame::kEnd ||
      length != sizeof error || !ReadExactly(exchange.control, &error, length))
    return kErrorInternetConnectionAborted;
  return error;
}

bool Read(Handle& request, void* buffer, uint32_t size, uint32_t& read) {
  if (request.failure != 0)
    return Fail(request.failure);
  if (!request.exchange)
    return Fail(kErrorInternetConnectionAborted);
  Exchange& exchange = *request.exchange;
  auto* dest = static_cast<char*>(buffer);
  size_t filled = 0;
  uint32_t error = 0;
  while (filled < size && !exchange.ended) {
    ssize_t got = ::read(exchange.body, dest + filled, size - filled);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0) {
      exchange.ended = true;
      error = kErrorInternetConnectionAborted;
    } else if (got == 0) {
      error = OutcomeOf(exchange);
    } else {
      filled += static_cast<size_t>(got);
    }
  }
  read = static_cast<uint32_t>(filled);
  if (error != 0) {
    request.failure = error;
    return Fail(error);
  }
  return true;
}

}  // namespace

// --- the service

InternetHandle OpenInternet(const char16_t* agent, uint32_t accessType, const char16_t* proxy,
                            const char16_t* proxyBypass, uint32_t /*flags*/) {
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

// The exchange whose final response's head is in; null (with the error) before that.
const Exchange* AnsweredExchange(InternetHandle request, uint32_t errorBefore) {
  Handle* handle = FindHandle(request, Kind::kRequest);
  if (handle == nullptr)
    return nullptr;
  if (!handle->exchange)
    return FailHandle(errorBefore);
  return handle->exchange.get();
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
  const Exchange* exchange = AnsweredExchange(request, kErrorHttpHeaderNotFound);
  if (exchange == nullptr)
    return false;
  status = static_cast<uint32_t>(exchange->status);
  return true;
}

bool QueryResponseHeader(InternetHandle request, const char* name, std::string& value) {
  const Exchange* exchange = AnsweredExchange(request, kErrorHttpHeaderNotFound);
  if (exchange == nullptr)
    return false;
  if (name == nullptr)
    return Fail(kErrorInvalidParameter);
  const std::string* found = FirstHeader(exchange->headers, name);
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
  return true;
}

uint32_t LastInternetError() {
  return t_lastError;
}

}  // namespace vexo::platform
