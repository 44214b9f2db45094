// vexo-transfer: runs one HTTP request's transfer for the HTTP service of the calling process, over
// libcurl's multi interface, and answers it as transfer_protocol.h says. It follows redirects
// itself, answers a proxy's demand for credentials, and bounds the connect and every silence by the
// request's timeouts. The body is sent up its pipe as it arrives; the pipe's capacity bounds what
// is held between the two processes, whatever the body's size.
#include "platform/posix/transfer/transfer.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/internet.h"
#include "platform/posix/transfer/internet_proxy.h"
#include "platform/posix/transfer_protocol.h"

namespace vexo::platform::posix {
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
constexpr long kTransferBufferSize = 256 * 1024;
// Header lines kept of one response, at most; a server that sends more is not remembered past it.
constexpr size_t kMostHeaderBytes = 64 * 1024;

uint32_t lastError = 0;

bool Fail(uint32_t error) {
  lastError = error;
  return false;
}

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
        curl_multi_remove_handle(multi, easy);
      curl_easy_cleanup(easy);
    }
    if (multi != nullptr)
      curl_multi_cleanup(multi);
    curl_slist_free_all(headerList);
  }
};

std::unique_ptr<Transfer> FailTransfer(uint32_t error) {
  lastError = error;
  return nullptr;
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
std::vector<std::string> HeaderLinesFor(const TransferRequest& request, const Target& target) {
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
  if (request.agent)
    lines.push_back("User-Agent: " + *request.agent);
  if (request.flags & (kFlagPragmaNoCache | kFlagReload))
    lines.push_back("Pragma: no-cache");
  if (request.flags & kFlagKeepConnection)
    lines.push_back("Connection: Keep-Alive");
  return lines;
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
  return WriteAll(transfer.bodyPipe, data, length) ? length : 0;
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
ProxyRoute RouteFor(const TransferRequest& request, const Target& target) {
  if (request.accessType == kAccessDirect)
    return {};
  if (request.accessType == kAccessProxy) {
    ProxyRoute route = RouteThrough(request.proxy);
    route.noProxy = request.proxyBypass;
    return route;
  }
  return PreconfiguredRoute(UrlOf(target), target.secure);
}

// Sets the route explicitly, so libcurl reads no variable of its own. Credentials (the handle's
// proxy account, else the proxy URL's) go to the proxy alone, in whichever scheme it asks for;
// without any, only Negotiate is tried, with the user's Kerberos ticket.
void ApplyRoute(CURL* easy, const TransferRequest& request, const ProxyRoute& route,
                Transfer& transfer) {
  curl_easy_setopt(easy, CURLOPT_PROXY, route.proxy.c_str());
  curl_easy_setopt(easy, CURLOPT_NOPROXY, route.noProxy.c_str());
  transfer.viaProxy = !route.proxy.empty();
  if (!transfer.viaProxy)
    return;
  std::optional<std::string> user = route.userName;
  std::string password = route.password;
  if (!request.proxyUserName.empty()) {
    user = request.proxyUserName;
    password = request.proxyPassword;
  }
  curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, user.value_or("").c_str());
  curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, password.c_str());
  curl_easy_setopt(easy, CURLOPT_PROXYAUTH,
                   static_cast<unsigned long>(user ? CURLAUTH_ANY : CURLAUTH_NEGOTIATE));
}

// --- driving a transfer

// A transfer of the request to `target`, ready to be driven; null with the error when it cannot be
// set up.
std::unique_ptr<Transfer> StartTransfer(const TransferRequest& request, const Target& target) {
  auto started = std::make_unique<Transfer>();
  Transfer& transfer = *started;
  transfer.multi = curl_multi_init();
  transfer.easy = curl_easy_init();
  if (transfer.multi == nullptr || transfer.easy == nullptr)
    return FailTransfer(kErrorNotEnoughMemory);
  for (const auto& line : HeaderLinesFor(request, target)) {
    curl_slist* grown = curl_slist_append(transfer.headerList, line.c_str());
    if (grown == nullptr)
      return FailTransfer(kErrorNotEnoughMemory);
    transfer.headerList = grown;
  }
  CURL* easy = transfer.easy;
  std::string url = UrlOf(target);
  bool set = curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK;
  if (!set)
    return FailTransfer(kErrorInternetInvalidUrl);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  ApplyTrustStore(easy);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headerList);
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connectTimeoutMs));
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kTransferBufferSize);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeaderLine);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBodyBytes);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, OnConnected);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);
  if (request.verb != "GET")
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.verb.c_str());
  if (!request.body.empty()) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
  }

  ApplyRoute(easy, request, RouteFor(request, target), transfer);
  if (request.userName && !request.userName->empty()) {
    curl_easy_setopt(easy, CURLOPT_USERNAME, request.userName->c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, request.password.value_or("").c_str());
  }
  if (curl_multi_add_handle(transfer.multi, easy) != CURLM_OK)
    return FailTransfer(kErrorInternetInternalError);
  return started;
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
bool Drive(const TransferRequest& request, Transfer& transfer, Done done) {
  const auto stallLimit = std::chrono::milliseconds(request.receiveTimeoutMs);
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

// Runs the request, hop by hop, until the final response's headers are in: the transfer that
// has them, or null with the error.
std::unique_ptr<Transfer> DriveToFinalHead(const TransferRequest& request) {
  Target target;
  target.secure = (request.flags & kFlagSecure) != 0;
  target.host = request.host;
  target.port = request.port != 0 ? request.port : DefaultPort(target.secure);
  target.object = EscapeObject(request.object);
  for (int hop = 0;; ++hop) {
    if (!IsPlainHost(target.host))
      return FailTransfer(kErrorInternetNameNotResolved);
    std::unique_ptr<Transfer> transfer = StartTransfer(request, target);
    if (!transfer || !Drive(request, *transfer, [&] { return transfer->headersDone; }))
      return nullptr;
    if (!transfer->headersDone)
      return FailTransfer(AsksForProxyCredentials(*transfer) ? kErrorInternetLoginFailure
                                                             : kErrorHttpInvalidServerResponse);
    const std::string* location = FirstHeader(transfer->headers, "Location");
    if (!IsRedirect(transfer->status) || location == nullptr)
      return transfer;
    if (hop == kMostRedirects || !RedirectTarget(target, *location, target))
      return FailTransfer(kErrorHttpRedirectFailed);
  }
}

// The body, up its pipe as it comes; false with the error when the transfer fails.
bool SendBody(const TransferRequest& request, Transfer& transfer, int body) {
  transfer.bodyPipe = body;
  if (transfer.paused) {
    transfer.paused = false;
    // Offers the bytes libcurl kept back while the head went up.
    if (curl_easy_pause(transfer.easy, CURLPAUSE_CONT) != CURLE_OK)
      return Fail(kErrorInternetConnectionAborted);
  }
  return Drive(request, transfer, [] { return false; });
}

}  // namespace

bool RunTransfer(const TransferRequest& request, int control, int body) {
  try {
    if (!InitialiseCurl()) {
      close(body);
      return WriteEndFrame(control, kErrorInternetInternalError);
    }
    std::unique_ptr<Transfer> transfer = DriveToFinalHead(request);
    if (!transfer) {
      close(body);
      return WriteEndFrame(control, lastError);
    }
    if (!WriteFrame(control, Frame::kHead, EncodeHead({transfer->status, transfer->headers})))
      return false;
    bool ok = SendBody(request, *transfer, body);
    close(body);
    return WriteEndFrame(control, ok ? 0 : lastError);
  } catch (...) {
    close(body);
    return WriteEndFrame(control, kErrorNotEnoughMemory);
  }
}

}  // namespace vexo::platform::posix
