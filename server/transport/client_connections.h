// The connections each client holds open, so that one address cannot take every connection the
// server has, and the counts of what befell connections that no access log line shows.
#pragma once

#include <prometheus/counter.h>
#include <prometheus/registry.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "server/transport/client_address.h"

namespace vexo::server {

// How much of a listener one client may hold, and how long a silent connection stays open.
struct ConnectionLimits {
  unsigned perClient = 256;
  unsigned idleSeconds = 30;
};

// Counted rather than logged one line each, which a client could otherwise fill the log with.
struct ConnectionCounts {
  uint64_t refused = 0;    // beyond the limit of their client
  uint64_t abandoned = 0;  // left by the client in the middle of a request or its reply
  uint64_t malformed = 0;  // requests the HTTP library refused before any router saw them
};

// The counts, kept in the registry /metrics serves (vexo_connections_refused_total,
// vexo_connections_abandoned_total and vexo_requests_malformed_total) and read for /stats.
class ConnectionCounters {
 public:
  explicit ConnectionCounters(prometheus::Registry& metrics);
  void CountRefused() { refused_.Increment(); }
  void CountAbandoned() { abandoned_.Increment(); }
  void CountMalformed() { malformed_.Increment(); }
  ConnectionCounts Read() const;

 private:
  prometheus::Counter& refused_;
  prometheus::Counter& abandoned_;
  prometheus::Counter& malformed_;
};

// Open connections by client. The client of a connection is its peer address (for IPv6 its
// /64 network, which one subscriber is given whole), unless the peer is a trusted proxy: its
// connections carry the requests of many clients and are not limited.
class ConnectionsPerClient {
 public:
  ConnectionsPerClient(unsigned perClient, const TrustedProxies& trusted)
      : perClient_(perClient), trusted_(trusted) {}

  // Whether a new connection from `peer` is within the limit; it counts once Opened.
  bool MayOpen(const IpAddress& peer) const;
  void Opened(const IpAddress& peer);
  void Closed(const IpAddress& peer);

 private:
  bool Limited(const IpAddress& peer) const { return !trusted_.Trusts(peer); }

  const unsigned perClient_;
  const TrustedProxies& trusted_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, unsigned> open_;  // by ClientKey
};

}  // namespace vexo::server
