#include "server/agents/cohort.h"

#include <bit>

namespace vexo::server {
namespace {

constexpr size_t kIpv6NetworkBytes = 8;

uint64_t LittleEndianWord(std::string_view bytes) {
  uint64_t word = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    word |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
  }
  return word;
}

struct SipState {
  uint64_t v0, v1, v2, v3;

  void Rounds(int count) {
    for (int i = 0; i < count; ++i) {
      v0 += v1;
      v1 = std::rotl(v1, 13) ^ v0;
      v0 = std::rotl(v0, 32);
      v2 += v3;
      v3 = std::rotl(v3, 16) ^ v2;
      v0 += v3;
      v3 = std::rotl(v3, 21) ^ v0;
      v2 += v1;
      v1 = std::rotl(v1, 17) ^ v2;
      v2 = std::rotl(v2, 32);
    }
  }
  void Absorb(uint64_t word) {
    v3 ^= word;
    Rounds(2);
    v0 ^= word;
  }
};

}  // namespace

uint64_t SipHash24(const RolloutSalt& key, std::string_view message) {
  std::string_view keyBytes(reinterpret_cast<const char*>(key.data()), key.size());
  uint64_t k0 = LittleEndianWord(keyBytes.substr(0, 8));
  uint64_t k1 = LittleEndianWord(keyBytes.substr(8, 8));
  SipState state{k0 ^ 0x736f6d6570736575, k1 ^ 0x646f72616e646f6d, k0 ^ 0x6c7967656e657261,
                 k1 ^ 0x7465646279746573};
  uint64_t length = message.size();
  for (; message.size() >= 8; message.remove_prefix(8)) {
    state.Absorb(LittleEndianWord(message.substr(0, 8)));
  }
  state.Absorb(LittleEndianWord(message) | length << 56);
  state.v2 ^= 0xff;
  state.Rounds(4);
  return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

int CohortPlace(const RolloutSalt& salt, const IpAddress& client) {
  if (!client.Known()) {
    return kWholeShare - 1;
  }
  std::string_view address = client.Bytes();
  if (client.IsIpv6()) {
    address = address.substr(0, kIpv6NetworkBytes);
  }
  return static_cast<int>(SipHash24(salt, address) % kWholeShare);
}

}  // namespace vexo::server
