// The addresses a listener binds: numeric hosts only, so the server binds exactly the address it
// is given, without asking a resolver.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexo::server {

// An address to listen on: a numeric IPv4 or IPv6 host and a port (0: any free port).
struct ListenAddress {
  std::string host;  // numeric, without brackets
  uint16_t port = 0;
  bool isIpv6 = false;

  // "127.0.0.1:8080" or "[::1]:8080".
  std::string ToString() const;
  // 127.0.0.0/8 or ::1: reachable from this machine only.
  bool IsLoopback() const;
};

// Reads "A.B.C.D:PORT" or "[IPv6]:PORT". Host names are not accepted: the server binds exactly
// the address it is given, without asking a resolver.
std::optional<ListenAddress> ParseListenAddress(std::string_view text);

}  // namespace vexo::server
