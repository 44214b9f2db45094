// Who sent a request. Behind a load balancer or reverse proxy every connection comes from the
// proxy; the proxy names the client in a Forwarded (RFC 7239) or X-Forwarded-For header. Those
// headers are believed only from peers the publisher trusts, and only as far as trusted hops
// reach, so an agent cannot choose the address it is recorded and counted under.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexo::server {

// An IPv4 or IPv6 address as bytes in network order. An IPv4-mapped IPv6 address
// (::ffff:a.b.c.d) is held as the IPv4 address it maps.
class IpAddress {
 public:
  IpAddress() = default;
  static IpAddress Ipv4(const uint8_t (&bytes)[4]);
  static IpAddress Ipv6(const uint8_t (&bytes)[16]);
  // A numeric address without brackets or port; nullopt for anything else.
  static std::optional<IpAddress> Parse(std::string_view text);

  bool IsIpv4() const { return size_ == 4; }
  bool IsIpv6() const { return size_ == 16; }
  bool Known() const { return size_ != 0; }
  std::string_view Bytes() const { return {reinterpret_cast<const char*>(bytes_.data()), size_}; }
  // "192.0.2.1", "2001:db8::1"; "-" when unknown.
  std::string ToString() const;
  bool operator==(const IpAddress&) const = default;

 private:
  std::array<uint8_t, 16> bytes_{};
  uint8_t size_ = 0;
};

// An address range in CIDR notation: "10.0.0.0/8", "2001:db8::/32"; a bare address stands for
// itself alone.
struct IpNetwork {
  IpAddress base;
  unsigned prefixBits = 0;

  bool Contains(const IpAddress& address) const;
};

std::optional<IpNetwork> ParseNetwork(std::string_view text);

// The peers whose forwarding headers are believed.
class TrustedProxies {
 public:
  TrustedProxies() = default;
  // "CIDR[,CIDR…]"; nullopt, with the faulty item named in `error`, when one is malformed.
  static std::optional<TrustedProxies> Parse(std::string_view list, std::string& error);

  bool Trusts(const IpAddress& address) const;
  bool empty() const { return networks_.empty(); }

 private:
  std::vector<IpNetwork> networks_;
};

// The forwarding headers of one request, every field line of a name joined with commas in the
// order received; nullopt when the request has no such header.
struct ForwardingHeaders {
  std::optional<std::string> forwarded;
  std::optional<std::string> xForwardedFor;
};

// The client's address of a request that came from `peer`. From a trusted peer: the hops of
// each forwarding header are read from the right, and the first that is not itself trusted is
// the client; when every hop is trusted, the left-most. A hop that is not an address (a
// malformed entry, "unknown", an obfuscated name) ends the walk: the trusted proxy that wrote it
// is the client as far as anyone can tell. When the request has both headers and they name
// different clients, the peer is the client: a proxy that writes only one of them passes on the
// other as the client wrote it. From any other peer the headers are ignored and the peer is the
// client.
IpAddress ClientAddress(const IpAddress& peer, const ForwardingHeaders& headers,
                        const TrustedProxies& trusted);

}  // namespace vexo::server
