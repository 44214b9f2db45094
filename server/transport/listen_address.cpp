#include "server/transport/listen_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>

namespace vexo::server {
namespace {

std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) {
    return std::nullopt;
  }
  unsigned value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > 65535) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

bool IsNumericHost(const std::string& host, bool ipv6) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(ipv6 ? AF_INET6 : AF_INET, host.c_str(), buffer) == 1;
}

}  // namespace

std::string ListenAddress::ToString() const {
  std::string text = isIpv6 ? "[" + host + "]" : host;
  return text + ":" + std::to_string(port);
}

bool ListenAddress::IsLoopback() const {
  if (isIpv6) {
    in6_addr address{};
    return inet_pton(AF_INET6, host.c_str(), &address) == 1 && IN6_IS_ADDR_LOOPBACK(&address);
  }
  in_addr address{};
  return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

std::optional<ListenAddress> ParseListenAddress(std::string_view text) {
  ListenAddress address;
  std::string_view portText;
  if (text.starts_with('[')) {
    size_t close = text.find("]:");
    if (close == std::string_view::npos) {
      return std::nullopt;
    }
    address.host = std::string(text.substr(1, close - 1));
    address.isIpv6 = true;
    portText = text.substr(close + 2);
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
      return std::nullopt;
    }
    address.host = std::string(text.substr(0, colon));
    portText = text.substr(colon + 1);
  }
  std::optional<uint16_t> port = ParsePort(portText);
  if (!port || !IsNumericHost(address.host, address.isIpv6)) {
    return std::nullopt;
  }
  address.port = *port;
  return address;
}

}  // namespace vexo::server
