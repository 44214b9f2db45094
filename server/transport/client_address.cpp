#include "server/transport/client_address.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace vexo::server {
namespace {

constexpr uint8_t kIpv4MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
constexpr unsigned kIpv4MappedBits = 96;

std::string_view Trimmed(std::string_view text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x | 0x20) == (y | 0x20);
         });
}

bool IsPort(std::string_view text) {
  return !text.empty() && text.size() <= 5 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One hop as a forwarding header names it: an address, "[IPv6]", either with ":port", or a bare
// IPv6 address (X-Forwarded-For writes them so). Anything else is no address.
std::optional<IpAddress> ParseHop(std::string_view text) {
  text = Trimmed(text);
  if (text.starts_with('[')) {
    size_t close = text.find(']');
    if (close == std::string_view::npos) {
      return std::nullopt;
    }
    std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && !(rest.starts_with(':') && IsPort(rest.substr(1)))) {
      return std::nullopt;
    }
    std::optional<IpAddress> address = IpAddress::Parse(text.substr(1, close - 1));
    return address && address->IsIpv6() ? address : std::nullopt;
  }
  size_t colon = text.find(':');
  if (colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
    if (!IsPort(text.substr(colon + 1))) {
      return std::nullopt;
    }
    text = text.substr(0, colon);  // IPv4 with a port
  }
  return IpAddress::Parse(text);
}

// A value of a Forwarded pair: a token, or a quoted string with its backslash escapes undone.
std::string Unquoted(std::string_view value) {
  value = Trimmed(value);
  if (value.size() < 2 || !value.starts_with('"') || !value.ends_with('"')) {
    return std::string(value);
  }
  std::string text;
  for (size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] == '\\' && i + 2 < value.size()) {
      ++i;
    }
    text += value[i];
  }
  return text;
}

// Splits `text` at each `separator` outside a quoted string.
std::vector<std::string_view> SplitOutsideQuotes(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (quoted && text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      quoted = !quoted;
    } else if (!quoted && text[i] == separator) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(text.substr(start));
  return parts;
}

// The "for" node of each Forwarded element, left to right; an element without one is a hop
// that named no address.
std::vector<std::optional<IpAddress>> ForwardedHops(std::string_view header) {
  std::vector<std::optional<IpAddress>> hops;
  for (std::string_view element : SplitOutsideQuotes(header, ',')) {
    std::optional<IpAddress> hop;
    for (std::string_view pair : SplitOutsideQuotes(element, ';')) {
      size_t equals = pair.find('=');
      if (equals != std::string_view::npos &&
          EqualsIgnoringCase(Trimmed(pair.substr(0, equals)), "for")) {
        hop = ParseHop(Unquoted(pair.substr(equals + 1)));
        break;
      }
    }
    hops.push_back(hop);
  }
  return hops;
}

std::vector<std::optional<IpAddress>> ForwardedForHops(std::string_view header) {
  std::vector<std::optional<IpAddress>> hops;
  size_t start = 0;
  while (true) {
    size_t comma = header.find(',', start);
    hops.push_back(ParseHop(header.substr(start, comma - start)));
    if (comma == std::string_view::npos) {
      return hops;
    }
    start = comma + 1;
  }
}

// True when no bit of `address` beyond the first `prefixBits` is set.
bool HostBitsClear(const IpAddress& address, unsigned prefixBits) {
  std::string_view bytes = address.Bytes();
  for (unsigned bit = prefixBits; bit < 8 * bytes.size(); ++bit) {
    if ((static_cast<uint8_t>(bytes[bit / 8]) >> (7 - bit % 8)) & 1) {
      return false;
    }
  }
  return true;
}

// The client one header names: its hops walked from the right, from the trusted `peer` on.
IpAddress RightMostUntrustedHop(const IpAddress& peer,
                                const std::vector<std::optional<IpAddress>>& hops,
                                const TrustedProxies& trusted) {
  IpAddress client = peer;
  for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
    if (!*hop) {
      return client;  // the trusted proxy that wrote a hop it could not name
    }
    client = **hop;
    if (!trusted.Trusts(client)) {
      return client;
    }
  }
  return client;
}

}  // namespace

IpAddress IpAddress::Ipv4(const uint8_t (&bytes)[4]) {
  IpAddress address;
  std::copy(std::begin(bytes), std::end(bytes), address.bytes_.begin());
  address.size_ = 4;
  return address;
}

IpAddress IpAddress::Ipv6(const uint8_t (&bytes)[16]) {
  if (std::equal(std::begin(kIpv4MappedPrefix), std::end(kIpv4MappedPrefix), bytes)) {
    return Ipv4({bytes[12], bytes[13], bytes[14], bytes[15]});
  }
  IpAddress address;
  std::copy(std::begin(bytes), std::end(bytes), address.bytes_.begin());
  address.size_ = 16;
  return address;
}

std::optional<IpAddress> IpAddress::Parse(std::string_view text) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) {
    return std::nullopt;
  }
  std::string terminated(text);
  if (text.find(':') == std::string_view::npos) {
    uint8_t bytes[4];
    return inet_pton(AF_INET, terminated.c_str(), bytes) == 1 ? std::optional(Ipv4(bytes))
                                                              : std::nullopt;
  }
  uint8_t bytes[16];
  return inet_pton(AF_INET6, terminated.c_str(), bytes) == 1 ? std::optional(Ipv6(bytes))
                                                             : std::nullopt;
}

std::string IpAddress::ToString() const {
  char text[INET6_ADDRSTRLEN] = "-";
  if (Known()) {
    inet_ntop(IsIpv4() ? AF_INET : AF_INET6, bytes_.data(), text, sizeof text);
  }
  return text;
}

bool IpNetwork::Contains(const IpAddress& address) const {
  std::string_view network = base.Bytes();
  std::string_view bytes = address.Bytes();
  if (!address.Known() || network.size() != bytes.size()) {
    return false;
  }
  unsigned whole = prefixBits / 8;
  if (network.substr(0, whole) != bytes.substr(0, whole)) {
    return false;
  }
  unsigned rest = prefixBits % 8;
  uint8_t mask = static_cast<uint8_t>(0xff00 >> rest);
  return rest == 0 || ((network[whole] ^ bytes[whole]) & mask) == 0;
}

std::optional<IpNetwork> ParseNetwork(std::string_view text) {
  size_t slash = text.find('/');
  std::optional<IpAddress> base = IpAddress::Parse(text.substr(0, slash));
  if (!base) {
    return std::nullopt;
  }
  unsigned addressBits = base->IsIpv4() ? 32 : 128;
  IpNetwork network{*base, addressBits};
  if (slash != std::string_view::npos) {
    // An IPv4-mapped range (::ffff:10.0.0.0/104) counts its prefix over the IPv6 address.
    unsigned writtenBits =
        base->IsIpv4() && text.substr(0, slash).find(':') != std::string_view::npos
            ? addressBits + kIpv4MappedBits
            : addressBits;
    std::string_view digits = text.substr(slash + 1);
    unsigned bits = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        bits > writtenBits || bits + addressBits < writtenBits) {
      return std::nullopt;
    }
    network.prefixBits = bits + addressBits - writtenBits;
  }
  // Bits set beyond the prefix are more likely a slip than a wish for the wider range.
  if (!HostBitsClear(network.base, network.prefixBits)) {
    return std::nullopt;
  }
  return network;
}

std::optional<TrustedProxies> TrustedProxies::Parse(std::string_view list, std::string& error) {
  TrustedProxies proxies;
  size_t start = 0;
  while (true) {
    size_t comma = list.find(',', start);
    std::string_view item = Trimmed(list.substr(start, comma - start));
    std::optional<IpNetwork> network = ParseNetwork(item);
    if (!network) {
      error = "'" + std::string(item) +
              "' is not an address range (expected CIDR such as 10.0.0.0/8 or 2001:db8::/32)";
      return std::nullopt;
    }
    proxies.networks_.push_back(*network);
    if (comma == std::string_view::npos) {
      return proxies;
    }
    start = comma + 1;
  }
}

bool TrustedProxies::Trusts(const IpAddress& address) const {
  return std::any_of(networks_.begin(), networks_.end(),
                     [&](const IpNetwork& network) { return network.Contains(address); });
}

IpAddress ClientAddress(const IpAddress& peer, const ForwardingHeaders& headers,
                        const TrustedProxies& trusted) {
  if (!trusted.Trusts(peer) || (!headers.forwarded && !headers.xForwardedFor)) {
    return peer;
  }
  std::optional<IpAddress> byForwarded, byForwardedFor;
  if (headers.forwarded) {
    byForwarded = RightMostUntrustedHop(peer, ForwardedHops(*headers.forwarded), trusted);
  }
  if (headers.xForwardedFor) {
    byForwardedFor = RightMostUntrustedHop(peer, ForwardedForHops(*headers.xForwardedFor), trusted);
  }
  if (byForwarded && byForwardedFor && *byForwarded != *byForwardedFor) {
    // A proxy that writes one of the two headers passes the other on as the client sent it,
    // so when they name different clients one of them is the client's own word: neither counts.
    return peer;
  }
  return byForwarded ? *byForwarded : *byForwardedFor;
}

}  // namespace vexo::server
