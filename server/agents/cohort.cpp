#include "server/agents/cohort.h"

#include <cstring>

#include "agent/crypto/signing.h"

namespace vexo::server {
namespace {

constexpr size_t kIpv6NetworkBytes = 8;

}  // namespace

int CohortPlace(const RolloutSalt& salt, const IpAddress& client) {
  if (!client.Known()) {
    return kWholeShare - 1;
  }
  std::string_view address = client.Bytes();
  if (client.IsIpv6()) {
    address = address.substr(0, kIpv6NetworkBytes);
  }
  char input[sizeof(RolloutSalt) + 16];
  std::memcpy(input, salt.data(), salt.size());
  std::memcpy(input + salt.size(), address.data(), address.size());
  Sha256Value digest = Sha256Of(std::string_view(input, salt.size() + address.size()));
  uint64_t value = 0;
  for (size_t i = 0; i < sizeof value; ++i) {
    value = value << 8 | digest[i];
  }
  return static_cast<int>(value % kWholeShare);
}

}  // namespace vexo::server
