// Any 32 bytes as an Ed25519 public key: the check and a verification never abort, and a key
// the check accepts verifies no signature that another key made.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agent/crypto/signing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size != 32) {
    return -1;
  }
  static const vexo::Ed25519Seed kSeed{7};
  static const vexo::Ed25519PublicKey kSigner = vexo::Ed25519PublicKeyOf(kSeed);
  static const vexo::Ed25519Signature kSignature = vexo::Ed25519Sign(kSeed, "statement");
  vexo::Ed25519PublicKey key;
  std::memcpy(key.data(), data, key.size());
  bool isKey = vexo::IsEd25519PublicKey(key);
  bool verifies = vexo::Ed25519Verify(key, "statement", kSignature);
  if (verifies != (key == kSigner) || (verifies && !isKey)) {
    std::abort();
  }
  return 0;
}
