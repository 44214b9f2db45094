#include "server/transport/client_connections.h"

namespace vexo::server {
namespace {

// An IPv4 address whole; the first 64 bits of an IPv6 address.
std::string ClientKey(const IpAddress& peer) {
  std::string_view bytes = peer.Bytes();
  return std::string(bytes.substr(0, peer.IsIpv6() ? 8 : bytes.size()));
}

prometheus::Counter& NewCounter(prometheus::Registry& metrics, const char* name, const char* help) {
  return prometheus::BuildCounter().Name(name).Help(help).Register(metrics).Add({});
}

}  // namespace

ConnectionCounters::ConnectionCounters(prometheus::Registry& metrics)
    : refused_(NewCounter(metrics, "vexo_connections_refused_total",
                          "Connections closed unanswered because their client held as many as "
                          "--connections-per-client allows.")),
      abandoned_(NewCounter(metrics, "vexo_connections_abandoned_total",
                            "Connections their client left in the middle of a request or of its "
                            "reply.")),
      malformed_(NewCounter(metrics, "vexo_requests_malformed_total",
                            "Requests the HTTP library refused as malformed (400, 413, 431, 505) "
                            "before any page saw them.")) {}

ConnectionCounts ConnectionCounters::Read() const {
  return {static_cast<uint64_t>(refused_.Value()), static_cast<uint64_t>(abandoned_.Value()),
          static_cast<uint64_t>(malformed_.Value())};
}

bool ConnectionsPerClient::MayOpen(const IpAddress& peer) const {
  if (!Limited(peer)) {
    return true;
  }
  std::lock_guard lock(mutex_);
  auto found = open_.find(ClientKey(peer));
  return found == open_.end() || found->second < perClient_;
}

void ConnectionsPerClient::Opened(const IpAddress& peer) {
  if (Limited(peer)) {
    std::lock_guard lock(mutex_);
    ++open_[ClientKey(peer)];
  }
}

void ConnectionsPerClient::Closed(const IpAddress& peer) {
  if (!Limited(peer)) {
    return;
  }
  std::lock_guard lock(mutex_);
  auto found = open_.find(ClientKey(peer));
  if (found != open_.end() && --found->second == 0) {
    open_.erase(found);
  }
}

}  // namespace vexo::server
