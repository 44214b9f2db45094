// Which agents a rollout's share holds: each client address has a place from 0 to kWholeShare
// in the cohort of a release, drawn from the address and the release's salt; a share of N
// holds the places below N.
#pragma once

#include "server/common/rollout_policy.h"
#include "server/transport/client_address.h"

namespace vexo::server {

// The place of `client` in the cohort salted with `salt`: an IPv4 address counts whole, an
// IPv6 address by its /64, the network one household or device usually keeps while the rest
// changes. An unknown address has the last place, which only the whole share holds.
int CohortPlace(const RolloutSalt& salt, const IpAddress& client);

inline bool InShare(const RolloutSalt& salt, const IpAddress& client, int share) {
  return CohortPlace(salt, client) < share;
}

}  // namespace vexo::server
