// The forwarding headers a trusted proxy passes on, on arbitrary bytes: the client found is the
// peer or an address one of the headers named, and an untrusted peer's headers change nothing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/transport/client_address.h"

namespace {

void Check(bool condition) {
  if (!condition)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vexo::server;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t split = text.find('\n');
  ForwardingHeaders headers{std::string(text.substr(0, split)), std::nullopt};
  if (split != std::string_view::npos) {
    headers.xForwardedFor = std::string(text.substr(split + 1));
    if (text.starts_with('x')) {
      headers.forwarded.reset();
    }
  }
  std::string error;
  static const TrustedProxies everyone = *TrustedProxies::Parse("0.0.0.0/0,::/0", error);
  static const TrustedProxies loopback = *TrustedProxies::Parse("127.0.0.0/8", error);
  IpAddress peer = *IpAddress::Parse("127.0.0.1");
  IpAddress client = ClientAddress(peer, headers, loopback);
  Check(client.Known());
  Check(ClientAddress(*IpAddress::Parse("192.0.2.1"), headers, loopback) ==
        *IpAddress::Parse("192.0.2.1"));
  Check(ClientAddress(peer, headers, everyone).Known());
  Check(IpAddress::Parse(client.ToString()) == client);
  TrustedProxies::Parse(text, error);
  return 0;
}
