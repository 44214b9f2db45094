#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/loopback_socket.h"

namespace vexo::testing::net {
namespace {

bool WaitFor(Socket socket, short events, int waitMs) {
  pollfd entry{static_cast<int>(socket), events, 0};
  int ready;
  do {
    ready = poll(&entry, 1, waitMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

}  // namespace

bool Startup() {
  return true;
}

Socket ListenOnLoopback(uint16_t& port) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0)
    return kInvalidSocket;
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 64) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(listener);
    return kInvalidSocket;
  }
  port = ntohs(address.sin_port);
  return listener;
}

Socket Accept(Socket listener, int waitMs) {
  if (!WaitFor(listener, POLLIN, waitMs))
    return kInvalidSocket;
  int connection = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0)
    return kInvalidSocket;
  int on = 1;
  setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return connection;
}

long Receive(Socket socket, char* buffer, size_t size, int waitMs) {
  if (!WaitFor(socket, POLLIN, waitMs))
    return kNotReady;
  ssize_t got = recv(static_cast<int>(socket), buffer, size, 0);
  if (got < 0)
    return errno == EINTR || errno == EAGAIN ? kNotReady : kFailed;
  return static_cast<long>(got);
}

long Send(Socket socket, const char* data, size_t size, int waitMs) {
  if (!WaitFor(socket, POLLOUT, waitMs))
    return kNotReady;
  ssize_t sent = send(static_cast<int>(socket), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0)
    return errno == EINTR || errno == EAGAIN ? kNotReady : kFailed;
  return static_cast<long>(sent);
}

void CloseWithReset(Socket socket) {
  linger hard{1, 0};
  setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(static_cast<int>(socket));
}

void Close(Socket socket) {
  close(static_cast<int>(socket));
}

}  // namespace vexo::testing::net
