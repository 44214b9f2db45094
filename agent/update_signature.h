// Signed updates: an agent built with the publisher's public keys launches an installer only when
// the offer's signature, made by one of those keys, vouches for the offered version and for the
// very file in the data folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/crypto/signing.h"

namespace vexo {

// The keys an agent trusts. Empty: the agent does not look at signatures at all.
using PinnedKeys = std::vector<Ed25519PublicKey>;

// The keys this program was built with (VEXO_UPDATE_KEYS), from a source the build generates for
// each agent program.
PinnedKeys BuiltInUpdateKeys();

struct InstallerFacts {
  uint64_t size = 0;
  Sha256Value sha256{};
};

// Size and SHA-256 of the file at `path`, read in chunks; nothing when it cannot be read whole.
std::optional<InstallerFacts> ReadInstallerFacts(const std::filesystem::path& path);

// What the publisher signs for one installer: four lines, each ending in one LF, in UTF-8.
std::string SignedStatement(std::u16string_view version, const InstallerFacts& installer);

// The signature as it travels in the offer: 64 bytes in standard base64 with padding.
std::string SignatureText(const Ed25519Signature& signature);
std::optional<Ed25519Signature> ParseSignatureText(std::u16string_view text);
// A public key as VEXO_UPDATE_KEYS and the publisher's tool write it; parsed only when it is a
// public key (IsEd25519PublicKey).
std::string PublicKeyText(const Ed25519PublicKey& key);
std::optional<Ed25519PublicKey> ParsePublicKeyText(std::string_view text);

// The position in `keys` of the key under which `signatureText` signs the statement for
// `version` and the installer; nothing when the text is no signature or no key verifies it.
std::optional<size_t> VouchingKey(std::u16string_view signatureText, std::u16string_view version,
                                  const InstallerFacts& installer, const PinnedKeys& keys);

}  // namespace vexo
