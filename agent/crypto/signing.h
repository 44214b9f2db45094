// SHA-256 and Ed25519 (RFC 8032) for signed updates, from libgcrypt. This is the only way into the
// library: nothing else includes it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vexo {

using Sha256Value = std::array<unsigned char, 32>;
using Ed25519Seed = std::array<unsigned char, 32>;  // the private key
using Ed25519PublicKey = std::array<unsigned char, 32>;
using Ed25519Signature = std::array<unsigned char, 64>;

// A SHA-256 digest fed in pieces, so that files of any size are read in bounded memory.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* bytes, size_t count);
  // The digest of everything added so far; the object takes no more input afterwards.
  Sha256Value Final();

 private:
  void* handle_ = nullptr;
};

// The digest of bytes at hand, in one call.
Sha256Value Sha256Of(std::string_view bytes);

// 64 lowercase hexadecimal digits.
std::string HexOf(const Sha256Value& digest);

// True when `key` is an Ed25519 public key: the one canonical encoding of a point of the curve
// whose order is not small, with coordinates the library can compute with. A point of small
// order (the identity among them) would let forged signatures verify.
bool IsEd25519PublicKey(const Ed25519PublicKey& key);

// True only when `signature` is a valid signature of `message` under `key`; anything that is
// not a public key (IsEd25519PublicKey) verifies nothing.
bool Ed25519Verify(const Ed25519PublicKey& key, std::string_view message,
                   const Ed25519Signature& signature);

// A new private key from the system's strongest random source, whose public key passes
// IsEd25519PublicKey.
Ed25519Seed NewEd25519Seed();
Ed25519PublicKey Ed25519PublicKeyOf(const Ed25519Seed& seed);
Ed25519Signature Ed25519Sign(const Ed25519Seed& seed, std::string_view message);

}  // namespace vexo
