#include "server/transport/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <vector>

#include "server/transport/authorization.h"
#include "server/transport/request_head.h"

namespace vexo::server {
namespace {

constexpr unsigned kMaxConnections = 4000;
constexpr int kListenBacklog = 1024;

// Installers go out in blocks of this size, each read when the connection has room for it.
constexpr size_t kDownloadBlockBytes = 64 * 1024;

// An installer (or the part of it asked for) on its way out; the reader counts the bytes the
// connection has taken.
struct Transfer {
  OpenFile file;
  uint64_t length;
  SentFile record;
  bool counted = true;

  Transfer(Reply& reply, int64_t unixTime)
      : file(std::move(*reply.download)),
        length(reply.DownloadLength()),
        record{unixTime, std::move(reply.downloadName), reply.downloadFirst, 0, false} {}

  bool ReachedTheEnd() const {
    return record.bytes == length && record.first + length == file.size();
  }
};

ssize_t ReadTransfer(void* context, uint64_t position, char* buffer, size_t space) {
  auto* transfer = static_cast<Transfer*>(context);
  if (position >= transfer->length) {
    return MHD_CONTENT_READER_END_OF_STREAM;
  }
  size_t wanted = static_cast<size_t>(std::min<uint64_t>(space, transfer->length - position));
  ssize_t got = pread(transfer->file.descriptor(), buffer, wanted,
                      static_cast<off_t>(transfer->record.first + position));
  if (got <= 0) {
    return MHD_CONTENT_READER_END_WITH_ERROR;
  }
  transfer->record.bytes = position + static_cast<uint64_t>(got);
  return got;
}

IpAddress PeerAddressOf(const sockaddr* address) {
  if (address == nullptr) {
    return {};
  }
  if (address->sa_family == AF_INET) {
    const auto& ipv4 = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
    uint8_t bytes[4];
    std::memcpy(bytes, &ipv4, sizeof bytes);
    return IpAddress::Ipv4(bytes);
  }
  if (address->sa_family == AF_INET6) {
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    uint8_t bytes[16];
    std::memcpy(bytes, &ipv6, sizeof bytes);
    return IpAddress::Ipv6(bytes);
  }
  return {};
}

IpAddress PeerAddressOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  return PeerAddressOf(info ? info->client_addr : nullptr);
}

// Every field line of the forwarding headers, in the order received.
MHD_Result AddForwardingHeader(void* context, MHD_ValueKind, const char* key, const char* value) {
  auto* headers = static_cast<ForwardingHeaders*>(context);
  std::optional<std::string>* into = nullptr;
  if (key != nullptr && strcasecmp(key, "Forwarded") == 0) {
    into = &headers->forwarded;
  } else if (key != nullptr && strcasecmp(key, "X-Forwarded-For") == 0) {
    into = &headers->xForwardedFor;
  }
  if (into != nullptr) {
    *into = *into ? **into + "," + (value ? value : "") : std::string(value ? value : "");
  }
  return MHD_YES;
}

IpAddress ClientAddressOf(MHD_Connection* connection, const TrustedProxies& trusted) {
  IpAddress peer = PeerAddressOf(connection);
  if (!trusted.Trusts(peer)) {
    return peer;  // the usual case: no header is looked at
  }
  ForwardingHeaders headers;
  MHD_get_connection_values(connection, MHD_HEADER_KIND, &AddForwardingHeader, &headers);
  return ClientAddress(peer, headers, trusted);
}

MHD_Result AddArgument(void* arguments, MHD_ValueKind, const char* key, const char* value) {
  static_cast<QueryArguments*>(arguments)->Add(key ? key : "", value ? value : "");
  return MHD_YES;
}

QueryArguments ArgumentsOf(MHD_Connection* connection) {
  QueryArguments arguments;
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &AddArgument, &arguments);
  return arguments;
}

// The secret of the Authorization header, if any.
std::optional<std::string> CredentialOf(MHD_Connection* connection) {
  const char* header =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  return header ? PresentedSecret(header) : std::nullopt;
}

MHD_Result AddHeaderLine(void* lines, MHD_ValueKind, const char* name, const char* value) {
  static_cast<std::vector<HeaderLine>*>(lines)->push_back({name ? name : "", value ? value : ""});
  return MHD_YES;
}

// Whether the head the library parsed in place, from the method on, held a zero byte of the
// client's. A part outside that block means the head cannot be read as one: it is refused too.
bool ZeroByteInHead(MHD_Connection* connection, const char* method, const char* target,
                    size_t targetLength, const char* version,
                    const std::vector<HeaderLine>& headers) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
  if (info == nullptr) {
    return true;
  }
  ParsedHead head;
  head.block = std::string_view(method, info->header_size);
  bool inside = true;
  auto offsetOf = [&](const char* part) {
    auto start = reinterpret_cast<uintptr_t>(method);
    auto at = reinterpret_cast<uintptr_t>(part);
    inside = inside && at >= start && at - start < info->header_size;
    return inside ? static_cast<size_t>(at - start) : 0;
  };
  head.target = offsetOf(target);
  head.targetLength = targetLength;
  head.version = offsetOf(version);
  for (const HeaderLine& header : headers) {
    head.fields.push_back({offsetOf(header.name.data()), offsetOf(header.value.data())});
  }
  return !inside || HoldsZeroByte(head);
}

// Why a request is refused before any router sees it; nullopt for a sound one.
std::optional<std::string_view> HeadFaultOf(MHD_Connection* connection, const char* method,
                                            const char* target, size_t targetLength,
                                            const char* version) {
  std::vector<HeaderLine> headers;
  MHD_get_connection_values(connection, MHD_HEADER_KIND, &AddHeaderLine, &headers);
  if (ZeroByteInHead(connection, method, target, targetLength, version, headers)) {
    return "zero byte in the request";
  }
  return HeadFault(version, headers);
}

std::optional<std::string> HeaderOf(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

MHD_Response* CreateResponse(Reply& reply, std::unique_ptr<Transfer>& transfer, int64_t unixTime) {
  if (reply.download) {
    transfer = std::make_unique<Transfer>(reply, unixTime);
    return MHD_create_response_from_callback(transfer->length, kDownloadBlockBytes, &ReadTransfer,
                                             transfer.get(), nullptr);
  }
  const std::string& body = reply.body ? *reply.body : std::string();
  return MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                         MHD_RESPMEM_MUST_COPY);
}

void AddHeaders(MHD_Response* response, const Reply& reply) {
  std::string contentType(reply.contentType);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType.c_str());
  if (!reply.cacheable) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  }
  for (const ReplyHeader& header : reply.headers) {
    MHD_add_response_header(response, header.name, header.value.c_str());
  }
}

// 400 for a request the transport refuses; the connection closes, as what follows its head
// cannot be told apart from the next request.
Reply RefusalReply(std::string_view fault) {
  Reply reply;
  reply.status = 400;
  reply.body = std::make_shared<const std::string>("bad request: " + std::string(fault) + "\n");
  reply.headers.push_back({MHD_HTTP_HEADER_CONNECTION, "close"});
  return reply;
}

// The library's notes on what a client did wrong, which it would write once or twice for every
// such connection or request, without the client's address: counted instead. A malformed
// request is counted once, by its refusal with a status of the 4xx class or 505; the notes on
// its details are dropped. The library's own faults (5xx) are still written.
struct ClientNote {
  std::string_view start;
  void (ConnectionCounters::*count)();
};
constexpr ClientNote kClientNotes[] = {
    {"Socket has been disconnected when reading request", &ConnectionCounters::CountAbandoned},
    {"Connection socket is closed when reading request", &ConnectionCounters::CountAbandoned},
    {"Connection was closed by remote side with incomplete request",
     &ConnectionCounters::CountAbandoned},
    {"Failed to send", &ConnectionCounters::CountAbandoned},
    {"Error processing request (HTTP response code is 4", &ConnectionCounters::CountMalformed},
    {"Error processing request (HTTP response code is 505 ", &ConnectionCounters::CountMalformed},
    {"Failed to parse `Content-Length' header", nullptr},
    {"Too large value of 'Content-Length' header", nullptr},
};

void LogLibraryMessage(void* counters, const char* format, va_list arguments) {
  char message[512];
  std::vsnprintf(message, sizeof message, format, arguments);
  std::string_view text(message);
  for (const ClientNote& client : kClientNotes) {
    if (text.starts_with(client.start)) {
      if (client.count != nullptr) {
        (static_cast<ConnectionCounters*>(counters)->*client.count)();
      }
      return;
    }
  }
  while (text.ends_with('\n')) {
    text.remove_suffix(1);
  }
  // A note may quote a path the client sent.
  std::fprintf(stderr, "vexo-server: http: %s\n", LogSafeText(text).c_str());
}

}  // namespace

// Per request: the request line's target as the client sent it, for the access log, how far
// the request has come, and the download it sends.
struct RequestContext {
  explicit RequestContext(std::string uri) : rawUri(std::move(uri)) {}

  std::string rawUri;
  bool headersSeen = false;
  bool replied = false;
  std::unique_ptr<Transfer> transfer;
};

struct HttpServerCallbacks {
  static MHD_Result AcceptConnection(void* self, const sockaddr* address, socklen_t) {
    auto* server = static_cast<HttpServer*>(self);
    if (server->clients_.MayOpen(PeerAddressOf(address))) {
      return MHD_YES;
    }
    server->counters_.CountRefused();
    return MHD_NO;
  }

  static void TrackConnection(void* self, MHD_Connection* connection, void** socketContext,
                              MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<HttpServer*>(self);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto* peer = new IpAddress(PeerAddressOf(connection));
      server->clients_.Opened(*peer);
      *socketContext = peer;
      return;
    }
    std::unique_ptr<IpAddress> peer(static_cast<IpAddress*>(*socketContext));
    *socketContext = nullptr;
    if (peer) {
      server->clients_.Closed(*peer);
    }
  }

  static void* BeginRequest(void*, const char* uri, MHD_Connection*) {
    return new RequestContext(uri ? uri : "");
  }

  static void EndRequest(void* self, MHD_Connection*, void** context,
                         MHD_RequestTerminationCode termination) {
    std::unique_ptr<RequestContext> request(static_cast<RequestContext*>(*context));
    *context = nullptr;
    if (request && request->transfer && request->transfer->counted) {
      SentFile& record = request->transfer->record;
      record.complete =
          termination == MHD_REQUEST_TERMINATED_COMPLETED_OK && request->transfer->ReachedTheEnd();
      static_cast<HttpServer*>(self)->handler_.DownloadEnded(std::move(record));
    }
  }

  static MHD_Result HandleRequest(void* self, MHD_Connection* connection, const char* url,
                                  const char* method, const char* protocol, const char*,
                                  size_t* uploadSize, void** context) {
    auto* request = static_cast<RequestContext*>(*context);
    if (request == nullptr) {
      *context = request = new RequestContext(url);
    }
    auto* server = static_cast<HttpServer*>(self);
    // The first call brings the headers only. A sound request is answered once it has arrived
    // whole, which lets the connection stay open for the client's next request; an unsound one
    // at once, before its body is read in a way the client may not have meant.
    if (!request->headersSeen) {
      request->headersSeen = true;
      std::optional<std::string_view> fault =
          HeadFaultOf(connection, method, url, request->rawUri.size(), protocol);
      if (!fault) {
        return MHD_YES;
      }
      request->replied = true;
      return server->Respond(connection, url, method, protocol, *request, fault) ? MHD_YES : MHD_NO;
    }
    if (*uploadSize != 0 || request->replied) {
      *uploadSize = 0;  // a body nobody asked for is read and dropped
      return MHD_YES;
    }
    request->replied = true;
    return server->Respond(connection, url, method, protocol, *request, std::nullopt) ? MHD_YES
                                                                                      : MHD_NO;
  }
};

bool HttpServer::Respond(MHD_Connection* connection, const char* url, const char* method,
                         const char* protocol, RequestContext& context,
                         std::optional<std::string_view> fault) {
  const std::string& rawUri = context.rawUri;
  Request request;
  request.method = method;
  request.path = url;
  std::string_view rawPath = std::string_view(rawUri).substr(0, rawUri.find('?'));
  request.pathHadZeroByte = rawPath.find("%00") != std::string_view::npos;
  request.clientAddress = ClientAddressOf(connection, settings_.trusted);
  request.client = request.clientAddress.ToString();
  request.unixTime = static_cast<int64_t>(std::time(nullptr));
  request.arguments = ArgumentsOf(connection);
  request.credential = CredentialOf(connection);
  request.range = HeaderOf(connection, MHD_HTTP_HEADER_RANGE);
  request.ifRange = HeaderOf(connection, MHD_HTTP_HEADER_IF_RANGE);
  Reply reply = fault ? RefusalReply(*fault) : handler_.Handle(request);
  uint64_t bodyBytes = reply.BodySize();
  unsigned status = reply.status;
  MHD_Response* response = CreateResponse(reply, context.transfer, request.unixTime);
  if (context.transfer && request.method == "HEAD") {
    context.transfer->counted = false;  // no byte of the file goes out
  }
  if (response == nullptr) {
    return false;
  }
  AddHeaders(response, reply);
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  log_.Write(AccessRecord{request.client, request.unixTime, method, rawUri, protocol, status,
                          request.method == "HEAD" ? 0 : bodyBytes});
  return queued == MHD_YES;
}

std::optional<ListeningSocket> Listen(const ListenAddress& address, std::string& error) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = address.isIpv6 ? AF_INET6 : AF_INET;
  if (address.isIpv6) {
    auto* ipv6 = reinterpret_cast<sockaddr_in6*>(&storage);
    ipv6->sin6_family = AF_INET6;
    ipv6->sin6_port = htons(address.port);
    inet_pton(AF_INET6, address.host.c_str(), &ipv6->sin6_addr);
    length = sizeof *ipv6;
  } else {
    auto* ipv4 = reinterpret_cast<sockaddr_in*>(&storage);
    ipv4->sin_family = AF_INET;
    ipv4->sin_port = htons(address.port);
    inet_pton(AF_INET, address.host.c_str(), &ipv4->sin_addr);
    length = sizeof *ipv4;
  }
  int descriptor = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  auto fail = [&](const char* what) {
    error = std::string("cannot ") + what + " " + address.ToString() + ": " + std::strerror(errno);
    if (descriptor >= 0) {
      close(descriptor);
    }
    return std::nullopt;
  };
  if (descriptor < 0) {
    return fail("create a socket for");
  }
  int on = 1;
  setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (address.isIpv6) {
    setsockopt(descriptor, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  if (bind(descriptor, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    return fail("listen on");
  }
  if (listen(descriptor, kListenBacklog) != 0) {
    return fail("listen on");
  }
  if (getsockname(descriptor, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return fail("read the port of");
  }
  ListeningSocket result{descriptor, address};
  result.bound.port = ntohs(address.isIpv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                                           : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  return result;
}

std::unique_ptr<HttpServer> HttpServer::Start(ListeningSocket socket, RequestHandler& handler,
                                              AccessLog& log, ListenerSettings settings,
                                              ConnectionCounters& counters, std::string& error) {
  const TlsCredentials* tls = settings.tls;
  if (tls != nullptr && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
    close(socket.descriptor);
    error = "this build of libmicrohttpd cannot serve TLS";
    return nullptr;
  }
  std::unique_ptr<HttpServer> server(new HttpServer(handler, log, std::move(settings), counters));
  const ListenerSettings& own = server->settings_;
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG;
  // The certificate and key, or nothing, as one array of options.
  MHD_OptionItem tlsOptions[] = {
      {MHD_OPTION_END, 0, nullptr}, {MHD_OPTION_END, 0, nullptr}, {MHD_OPTION_END, 0, nullptr}};
  if (tls != nullptr) {
    flags |= MHD_USE_TLS;
    tlsOptions[0] = {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(tls->keyPem.c_str())};
    tlsOptions[1] = {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(tls->certificatePem.c_str())};
  }
  server->daemon_ = MHD_start_daemon(
      flags, 0, &HttpServerCallbacks::AcceptConnection, server.get(),
      &HttpServerCallbacks::HandleRequest, server.get(), MHD_OPTION_EXTERNAL_LOGGER,
      &LogLibraryMessage, &counters, MHD_OPTION_ARRAY, tlsOptions, MHD_OPTION_LISTEN_SOCKET,
      static_cast<MHD_socket>(socket.descriptor), MHD_OPTION_THREAD_POOL_SIZE, own.threads,
      MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_CONNECTION_TIMEOUT,
      own.limits.idleSeconds, MHD_OPTION_NOTIFY_CONNECTION, &HttpServerCallbacks::TrackConnection,
      server.get(), MHD_OPTION_URI_LOG_CALLBACK, &HttpServerCallbacks::BeginRequest, nullptr,
      MHD_OPTION_NOTIFY_COMPLETED, &HttpServerCallbacks::EndRequest, server.get(), MHD_OPTION_END);
  if (server->daemon_ == nullptr) {
    close(socket.descriptor);
    error = "the HTTP library could not start on " + socket.bound.ToString();
    return nullptr;
  }
  return server;
}

HttpServer::~HttpServer() {
  if (daemon_ != nullptr) {
    MHD_stop_daemon(daemon_);
  }
}

}  // namespace vexo::server
