// SHA-256 and Ed25519 through our header: known answers from the standards, and signatures that
// must not verify.
#include "agent/crypto/signing.h"

#include <gtest/gtest.h>

#include <string>

#include "agent/crypto/base64.h"

namespace vexo {
namespace {

template <size_t N>
std::array<unsigned char, N> FromHex(std::string_view hex) {
  std::array<unsigned char, N> bytes{};
  EXPECT_EQ(hex.size(), 2 * N);
  for (size_t i = 0; i < N; ++i)
    bytes[i] =
        static_cast<unsigned char>(std::stoi(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  return bytes;
}

std::string Sha256Hex(std::string_view message, size_t piece) {
  Sha256 digest;
  for (size_t i = 0; i < message.size(); i += piece)
    digest.Update(message.data() + i, std::min(piece, message.size() - i));
  return HexOf(digest.Final());
}

// FIPS 180-2, appendix B (one block, two blocks, a million times "a"), and the empty input.
TEST(Sha256, KnownAnswersWholeAndInPieces) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 10));
    EXPECT_EQ(Sha256Hex(c.message, c.message.size() + 1), c.digest);
    EXPECT_EQ(Sha256Hex(c.message, 7), c.digest);
  }
}

// RFC 8032, section 7.1, tests 1 to 3: secret key (seed), public key, message, signature.
struct Rfc8032Vector {
  const char* seed;
  const char* publicKey;
  std::string message;
  const char* signature;
};
const Rfc8032Vector kRfc8032Vectors[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
     "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "\x72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
     "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "\xaf\x82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
     "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

TEST(Ed25519, Rfc8032KnownAnswers) {
  for (const auto& v : kRfc8032Vectors) {
    SCOPED_TRACE(v.publicKey);
    auto seed = FromHex<32>(v.seed);
    auto publicKey = FromHex<32>(v.publicKey);
    auto signature = FromHex<64>(v.signature);
    EXPECT_EQ(Ed25519PublicKeyOf(seed), publicKey);
    EXPECT_EQ(Ed25519Sign(seed, v.message), signature);
    EXPECT_TRUE(Ed25519Verify(publicKey, v.message, signature));
  }
}

TEST(Ed25519, AnyChangeStopsVerification) {
  const Rfc8032Vector& v = kRfc8032Vectors[2];
  auto publicKey = FromHex<32>(v.publicKey);
  auto signature = FromHex<64>(v.signature);
  auto otherKey = FromHex<32>(kRfc8032Vectors[1].publicKey);
  auto flippedR = signature;
  flippedR[0] ^= 1;
  auto flippedS = signature;
  flippedS[40] ^= 0x80;
  Ed25519PublicKey notAPoint;
  notAPoint.fill(0xff);
  EXPECT_FALSE(Ed25519Verify(publicKey, "\xaf\x83", signature));
  EXPECT_FALSE(Ed25519Verify(publicKey, v.message, flippedR));
  EXPECT_FALSE(Ed25519Verify(publicKey, v.message, flippedS));
  EXPECT_FALSE(Ed25519Verify(otherKey, v.message, signature));
  EXPECT_FALSE(Ed25519Verify(notAPoint, v.message, signature));
}

// Keys the library decodes into no point of the curve, into one of small order, for which
// signatures could be forged (the identity verifies anything), or into one whose coordinates its
// arithmetic cannot take: none is a key, none verifies, and none brings the process down.
TEST(Ed25519, OnlyPointsOfLargeOrderArePublicKeys) {
  const Rfc8032Vector& v = kRfc8032Vectors[0];
  const struct {
    const char* name;
    const char* key;
    bool isKey;
  } cases[] = {
      {"RFC 8032 test 1", v.publicKey, true},
      {"all zero: y = 0, order 4",
       "0000000000000000000000000000000000000000000000000000000000000000", false},
      {"identity", "0100000000000000000000000000000000000000000000000000000000000000", false},
      {"identity, x's sign set", "0100000000000000000000000000000000000000000000000000000000000080",
       false},
      {"order 2: y = p - 1", "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
       false},
      {"order 8", "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05", false},
      {"y = p, not canonical", "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
       false},
      {"y = 2, not on the curve",
       "0200000000000000000000000000000000000000000000000000000000000000", false},
      {"y = 256, of large order but too short for the library",
       "0001000000000000000000000000000000000000000000000000000000000000", false},
  };
  auto signature = FromHex<64>(v.signature);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto key = FromHex<32>(c.key);
    EXPECT_EQ(IsEd25519PublicKey(key), c.isKey);
    EXPECT_EQ(Ed25519Verify(key, v.message, signature), c.isKey);
  }
}

TEST(Ed25519, NewSeedsDifferAndSignWhatTheirPublicKeyVerifies) {
  Ed25519Seed first = NewEd25519Seed();
  Ed25519Seed second = NewEd25519Seed();
  EXPECT_NE(first, second);
  Ed25519Signature signature = Ed25519Sign(first, "statement");
  EXPECT_TRUE(Ed25519Verify(Ed25519PublicKeyOf(first), "statement", signature));
  EXPECT_FALSE(Ed25519Verify(Ed25519PublicKeyOf(second), "statement", signature));
}

// RFC 4648, section 10, and the texts a strict decoder must refuse.
TEST(Base64, EncodesAndDecodesOnlyCanonicalTexts) {
  const std::pair<std::string, std::string> vectors[] = {
      {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}};
  for (const auto& [plain, text] : vectors) {
    SCOPED_TRACE(plain);
    EXPECT_EQ(EncodeBase64(reinterpret_cast<const unsigned char*>(plain.data()), plain.size()),
              text);
  }
  auto two = DecodeBase64<2>("Zm8=");
  ASSERT_TRUE(two.has_value());
  EXPECT_EQ((*two)[0], 'f');
  EXPECT_EQ((*two)[1], 'o');
  for (const char* bad : {"Zm9=", "Zm8", "Zm8==", "Zm 8", "Zm8\n", "=m8=", "Zm-="}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(DecodeBase64<2>(bad).has_value());
  }
}

}  // namespace
}  // namespace vexo
