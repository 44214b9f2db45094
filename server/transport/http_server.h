// The HTTP side of the server, on libmicrohttpd: a pool of threads, each with its own epoll
// loop, taking connections from one listening socket.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/transport/access_log.h"
#include "server/transport/client_address.h"
#include "server/transport/exchange.h"
#include "server/transport/listen_address.h"
#include "server/transport/tls_credentials.h"

struct MHD_Connection;
struct MHD_Daemon;

namespace vexo::server {

struct RequestContext;

// A listening TCP socket, bound before the HTTP library starts so that a failure can be named.
struct ListeningSocket {
  int descriptor = -1;
  ListenAddress bound;  // with the port the system chose for port 0
};

std::optional<ListeningSocket> Listen(const ListenAddress& address, std::string& error);

class HttpServer {
 public:
  // Takes over `socket`, closing it when the server stops or cannot start. With `tls` (which
  // must outlive the server) the listener speaks HTTPS only. Requests from `trusted` peers are
  // taken to come from the client their forwarding headers name (client_address.h).
  static std::unique_ptr<HttpServer> Start(ListeningSocket socket, unsigned threads,
                                           RequestHandler& handler, AccessLog& log,
                                           const TlsCredentials* tls, const TrustedProxies& trusted,
                                           std::string& error);
  ~HttpServer();  // stops accepting and finishes the requests under way

  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

 private:
  HttpServer(RequestHandler& handler, AccessLog& log, TrustedProxies trusted)
      : handler_(handler), log_(log), trusted_(std::move(trusted)) {}

  // Queues the reply to one request, or its refusal for `fault`; false when the connection
  // should be dropped.
  bool Respond(MHD_Connection* connection, const char* url, const char* method,
               const char* protocol, RequestContext& context,
               std::optional<std::string_view> fault);

  RequestHandler& handler_;
  AccessLog& log_;
  const TrustedProxies trusted_;
  MHD_Daemon* daemon_ = nullptr;

  friend struct HttpServerCallbacks;
};

}  // namespace vexo::server
