// The HTTP side of the server, on libmicrohttpd: a pool of threads, each with its own epoll
// loop, taking connections from one listening socket.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/transport/access_log.h"
#include "server/transport/client_address.h"
#include "server/transport/client_connections.h"
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

// What a listener serves with, besides its socket and its router.
struct ListenerSettings {
  unsigned threads = 1;
  const TlsCredentials* tls = nullptr;  // HTTPS only, when given; must outlive the server
  TrustedProxies trusted;  // peers whose forwarding headers name the client (client_address.h)
  ConnectionLimits limits;
};

class HttpServer {
 public:
  // Takes over `socket`, closing it when the server stops or cannot start. What befalls
  // connections that the access log does not show is counted in `counters`.
  static std::unique_ptr<HttpServer> Start(ListeningSocket socket, RequestHandler& handler,
                                           AccessLog& log, ListenerSettings settings,
                                           ConnectionCounters& counters, std::string& error);
  ~HttpServer();  // stops accepting and finishes the requests under way

  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

 private:
  HttpServer(RequestHandler& handler, AccessLog& log, ListenerSettings settings,
             ConnectionCounters& counters)
      : handler_(handler),
        log_(log),
        settings_(std::move(settings)),
        clients_(settings_.limits.perClient, settings_.trusted),
        counters_(counters) {}

  // Queues the reply to one request, or its refusal for `fault`; false when the connection
  // should be dropped.
  bool Respond(MHD_Connection* connection, const char* url, const char* method,
               const char* protocol, RequestContext& context,
               std::optional<std::string_view> fault);

  RequestHandler& handler_;
  AccessLog& log_;
  const ListenerSettings settings_;
  ConnectionsPerClient clients_;
  ConnectionCounters& counters_;
  MHD_Daemon* daemon_ = nullptr;

  friend struct HttpServerCallbacks;
};

}  // namespace vexo::server
