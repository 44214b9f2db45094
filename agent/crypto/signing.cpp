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

// Owns one object of the library, given back by `Release`.
template <typename T, void (*Release)(T)>
class Owned {
 public:
  explicit Owned(T value = nullptr) : value_(value) {}
  ~Owned() {
    if (value_ != nullptr)
      Release(value_);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  T* out() { return &value_; }
  T get() const { return value_; }

 private:
  T value_;
};
using Sexp = Owned<gcry_sexp_t, gcry_sexp_release>;
using CurveContext = Owned<gcry_ctx_t, gcry_ctx_release>;
using Mpi = Owned<gcry_mpi_t, gcry_mpi_release>;
using Point = Owned<gcry_mpi_point_t, gcry_mpi_point_release>;

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

gcry_error_t BuildPublicKey(Sexp& sexp, const Ed25519PublicKey& key) {
  return gcry_sexp_build(sexp.out(), nullptr,
                         "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                         static_cast<int>(key.size()), key.data());
}

// The affine coordinates of `point`; false for the point at infinity.
bool AffineOf(gcry_mpi_point_t point, gcry_ctx_t curve, Mpi& x, Mpi& y) {
  *x.out() = gcry_mpi_new(0);
  *y.out() = gcry_mpi_new(0);
  return gcry_mpi_ec_get_affine(x.get(), y.get(), point, curve) == 0;
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

bool IsEd25519PublicKey(const Ed25519PublicKey& key) {
  EnsureLibraryReady();
  Sexp publicKey;
  CurveContext curve;
  if (BuildPublicKey(publicKey, key) != 0 ||
      gcry_mpi_ec_new(curve.out(), publicKey.get(), nullptr) != 0)
    return false;
  // The point as the library decodes the key.
  Point q(gcry_mpi_ec_get_point("q", curve.get(), 1));
  Mpi p(gcry_mpi_ec_get_mpi("p", curve.get(), 1));
  Mpi cofactor(gcry_mpi_ec_get_mpi("h", curve.get(), 1));
  Mpi x, y;
  if (!q.get() || !p.get() || !cofactor.get() || !AffineOf(q.get(), curve.get(), x, y))
    return false;
  // Coordinates below p (a y from p up is not the canonical encoding, nor is a "negative" zero
  // x), and of full width: the library's arithmetic on this curve aborts on a coordinate whose
  // top limb (32 bits at most) is zero, as for the identity and the points of order 2 and 4. A
  // generated key fails this with a chance of 2^-30; NewEd25519Seed then draws again.
  auto fullWidth = [&](const Mpi& value) {
    return gcry_mpi_get_nbits(value.get()) > 224 && gcry_mpi_cmp(value.get(), p.get()) < 0;
  };
  if (!fullWidth(x) || !fullWidth(y))
    return false;
  if (!gcry_mpi_ec_curve_point(q.get(), curve.get()))
    return false;
  // A point of small order times the cofactor is the identity, whose x is zero.
  Point multiple(gcry_mpi_point_new(0));
  gcry_mpi_ec_mul(multiple.get(), cofactor.get(), q.get(), curve.get());
  Mpi multipleX, multipleY;
  return AffineOf(multiple.get(), curve.get(), multipleX, multipleY) &&
         gcry_mpi_cmp_ui(multipleX.get(), 0) != 0;
}

bool Ed25519Verify(const Ed25519PublicKey& key, std::string_view message,
                   const Ed25519Signature& signature) {
  if (!IsEd25519PublicKey(key))
    return false;
  Sexp publicKey;
  Sexp signatureValue;
  Sexp data;
  if (BuildPublicKey(publicKey, key) != 0 ||
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
  do {
    gcry_randomize(seed.data(), seed.size(), GCRY_VERY_STRONG_RANDOM);
  } while (!IsEd25519PublicKey(Ed25519PublicKeyOf(seed)));
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
