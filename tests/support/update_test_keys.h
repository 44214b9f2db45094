// Signing offers in tests with the throwaway keys that vexo-agent-pinned trusts
// (tests/support/update_keys/), or with a key no agent trusts.
#pragma once

#include <string>

#include "agent/crypto/base64.h"
#include "agent/crypto/signing.h"
#include "agent/update_signature.h"

namespace vexo::testing {

inline Ed25519Seed PinnedTestSeed(int number) {
  return *DecodeBase64<32>(number == 1 ? VEXO_PINNED_TEST_SEED_1 : VEXO_PINNED_TEST_SEED_2);
}

inline Ed25519Seed UnpinnedTestSeed() {
  Ed25519Seed seed;
  seed.fill(0x5a);
  return seed;
}

// The offer's signature text for `installer` (its bytes) offered as `version`.
inline std::string SignatureFor(const Ed25519Seed& seed, const std::u16string& version,
                                const std::string& installer) {
  Sha256 digest;
  digest.Update(installer.data(), installer.size());
  InstallerFacts facts{installer.size(), digest.Final()};
  return SignatureText(Ed25519Sign(seed, SignedStatement(version, facts)));
}

}  // namespace vexo::testing
