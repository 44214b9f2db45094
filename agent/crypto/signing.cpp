#include "agent/crypto/signing.h"

#include <gcrypt.h>

#include <cstring>
#include <stdexcept>

namespace vexo {
namespace {

// The library is set up once, before its first use. Secure memory is not used: the only private
// key ever handled lives in the publisher's tool for the length of one command.
void EnsureLibraryReady() {
  static const bool ready = [] {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr)
      throw std::runtime_error("libgcrypt is older than the one this program was built with");
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)ready;
}

// Owns one S-expression.
class Sexp {
 public:
  Sexp() = default;
  ~Sexp() { gcry_sexp_release(sexp_); }
  Sexp(const Sexp&) = delete;
  Sexp& operator=(const Sexp&) = delete;
  gcry_sexp_t* out() { return &sexp_; }
  gcry_sexp_t get() const { return sexp_; }

 private:
  gcry_sexp_t sexp_ = nullptr;
};

void Check(gcry_error_t error, const char* what) {
  if (error != 0)
    throw std::runtime_error(std::string(what) + ": " + gcry_strerror(error));
}

// The message as EdDSA signs it: PureEdDSA over the bytes themselves, SHA-512 inside.
gcry_error_t BuildMessage(Sexp& data, std::string_view message) {
  return gcry_sexp_build(data.out(), nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                         static_cast<int>(message.size()), message.data());
}

void BuildPrivateKey(Sexp& key, const Ed25519Seed& seed, const Ed25519PublicKey* publicKey) {
  if (publicKey == nullptr) {
    Check(gcry_sexp_build(key.out(), nullptr,
                          "(private-key (ecc (curve Ed25519) (flags eddsa) (d %b)))",
                          static_cast<int>(seed.size()), seed.data()),
          "Ed25519 private key");
    return;
  }
  Check(gcry_sexp_build(key.out(), nullptr,
                        "(private-key (ecc (curve Ed25519) (flags eddsa) (q %b) (d %b)))",
                        static_cast<int>(publicKey->size()), publicKey->data(),
                        static_cast<int>(seed.size()), seed.data()),
        "Ed25519 private key");
}

// Copies the named token's data, which must be exactly `size` bytes long, to `out`.
void CopyToken(gcry_sexp_t list, const char* token, unsigned char* out, size_t size) {
  Sexp found;
  *found.out() = gcry_sexp_find_token(list, token, 0);
  size_t length = 0;
  const char* data = found.get() ? gcry_sexp_nth_data(found.get(), 1, &length) : nullptr;
  if (data == nullptr || length != size)
    throw std::runtime_error(std::string("Ed25519 signature without its ") + token + " value");
  std::memcpy(out, data, size);
}

}  // namespace

Sha256::Sha256() {
  EnsureLibraryReady();
  gcry_md_hd_t handle = nullptr;
  Check(gcry_md_open(&handle, GCRY_MD_SHA256, 0), "SHA-256");
  handle_ = handle;
}

Sha256::~Sha256() {
  gcry_md_close(static_cast<gcry_md_hd_t>(handle_));
}

void Sha256::Update(const void* bytes, size_t count) {
  gcry_md_write(static_cast<gcry_md_hd_t>(handle_), bytes, count);
}

Sha256Value Sha256::Final() {
  Sha256Value digest;
  std::memcpy(digest.data(), gcry_md_read(static_cast<gcry_md_hd_t>(handle_), GCRY_MD_SHA256),
              digest.size());
  return digest;
}

Sha256Value Sha256Of(std::string_view bytes) {
  EnsureLibraryReady();
  Sha256Value digest;
  gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), bytes.data(), bytes.size());
  return digest;
}

std::string HexOf(const Sha256Value& digest) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : digest) {
    text += kHexDigits[byte >> 4];
    text += kHexDigits[byte & 0x0f];
  }
  return text;
}

bool Ed25519Verify(const Ed25519PublicKey& key, std::string_view message,
                   const Ed25519Signature& signature) {
  EnsureLibraryReady();
  Sexp publicKey;
  Sexp signatureValue;
  Sexp data;
  if (gcry_sexp_build(publicKey.out(), nullptr,
                      "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                      static_cast<int>(key.size()), key.data()) != 0 ||
      gcry_sexp_build(signatureValue.out(), nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32,
                      signature.data(), 32, signature.data() + 32) != 0 ||
      BuildMessage(data, message) != 0) {
    return false;
  }
  return gcry_pk_verify(signatureValue.get(), data.get(), publicKey.get()) == 0;
}

Ed25519Seed NewEd25519Seed() {
  EnsureLibraryReady();
  Ed25519Seed seed;
  gcry_randomize(seed.data(), seed.size(), GCRY_VERY_STRONG_RANDOM);
  return seed;
}

Ed25519PublicKey Ed25519PublicKeyOf(const Ed25519Seed& seed) {
  EnsureLibraryReady();
  Sexp key;
  BuildPrivateKey(key, seed, nullptr);
  gcry_ctx_t context = nullptr;
  Check(gcry_mpi_ec_new(&context, key.get(), nullptr), "Ed25519 curve");
  // With only d given, the library derives the public key and gives it in its EdDSA encoding.
  gcry_mpi_t point = gcry_mpi_ec_get_mpi("q@eddsa", context, 1);
  gcry_ctx_release(context);
  unsigned int bits = 0;
  const void* bytes = point ? gcry_mpi_get_opaque(point, &bits) : nullptr;
  Ed25519PublicKey publicKey;
  bool complete = bytes != nullptr && bits == 8 * publicKey.size();
  if (complete)
    std::memcpy(publicKey.data(), bytes, publicKey.size());
  gcry_mpi_release(point);
  if (!complete)
    throw std::runtime_error("Ed25519: no public key derived");
  return publicKey;
}

Ed25519Signature Ed25519Sign(const Ed25519Seed& seed, std::string_view message) {
  Ed25519PublicKey publicKey = Ed25519PublicKeyOf(seed);
  Sexp key;
  Sexp data;
  Sexp signed_;
  BuildPrivateKey(key, seed, &publicKey);
  Check(BuildMessage(data, message), "Ed25519 message");
  Check(gcry_pk_sign(signed_.out(), data.get(), key.get()), "Ed25519 signing");
  Ed25519Signature signature;
  CopyToken(signed_.get(), "r", signature.data(), 32);
  CopyToken(signed_.get(), "s", signature.data() + 32, 32);
  return signature;
}

}  // namespace vexo
