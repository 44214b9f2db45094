#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/support/loopback_socket.h"

namespace vexo::testing::net {
namespace {

SOCKET S(Socket socket) {
  return static_cast<SOCKET>(socket);
}

bool WaitFor(Socket socket, short events, int waitMs) {
  WSAPOLLFD entry{S(socket), events, 0};
  return WSAPoll(&entry, 1, waitMs) > 0;
}

bool WouldBlock() {
  int error = WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

}  // namespace

bool Startup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

Socket ListenOnLoopback(uint16_t& port) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET)
    return kInvalidSocket;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 64) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(listener);
    return kInvalidSocket;
  }
  port = ntohs(address.sin_port);
  return static_cast<Socket>(listener);
}

Socket Accept(Socket listener, int waitMs) {
  if (!WaitFor(listener, POLLRDNORM, waitMs))
    return kInvalidSocket;
  SOCKET connection = accept(S(listener), nullptr, nullptr);
  if (connection == INVALID_SOCKET)
    return kInvalidSocket;
  u_long nonBlocking = 1;  // sends never block a thread that must notice a stop
  ioctlsocket(connection, FIONBIO, &nonBlocking);
  BOOL on = TRUE;
  setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return static_cast<Socket>(connection);
}

long Receive(Socket socket, char* buffer, size_t size, int waitMs) {
  if (!WaitFor(socket, POLLRDNORM, waitMs))
    return kNotReady;
  int got = recv(S(socket), buffer, static_cast<int>(size), 0);
  if (got == SOCKET_ERROR)
    return WouldBlock() ? kNotReady : kFailed;
  return got;
}

long Send(Socket socket, const char* data, size_t size, int waitMs) {
  if (!WaitFor(socket, POLLWRNORM, waitMs))
    return kNotReady;
  int sent = send(S(socket), data, static_cast<int>(size), 0);
  if (sent == SOCKET_ERROR)
    return WouldBlock() ? kNotReady : kFailed;
  return sent;
}

void CloseWithReset(Socket socket) {
  linger hard{1, 0};
  setsockopt(S(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
  closesocket(S(socket));
}

void Close(Socket socket) {
  closesocket(S(socket));
}

}  // namespace vexo::testing::net
