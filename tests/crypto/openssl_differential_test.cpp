// Differential tests against OpenSSL's libcrypto (native build only): our MD5 against its MD5 on
// random inputs fed in random pieces, and the literal cipher form in the standard's settings
// against its single DES, which checks the standard tables our cipher is built from.
// The single-DES block function lives in OpenSSL 3's deprecated low-level API.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <gtest/gtest.h>
#include <openssl/des.h>
#include <openssl/evp.h>

#include <algorithm>
#include <random>
#include <string>

#include "agent/crypto/md5.h"
#include "tests/crypto/literal_cipher.h"

namespace vexo {
namespace {

std::string OpenSslMd5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr), 1);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0xf];
  }
  return hex;
}

TEST(Md5DigestAgainstOpenSsl, RandomInputsInRandomPieces) {
  std::mt19937 random(1321);
  for (int i = 0; i < 300; ++i) {
    const size_t size = i < 200 ? static_cast<size_t>(i) : random() % 70000;
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
      byte = static_cast<char>(random());
    }
    SCOPED_TRACE(size);
    Md5Digest digest;
    digest.Init();
    for (size_t offset = 0; offset < size;) {
      const size_t count = std::min<size_t>(random() % 300, size - offset);
      digest.Update(bytes.data() + offset, static_cast<uint32_t>(count));
      offset += count;
    }
    digest.Final();
    ASSERT_EQ(digest.HexDigest(), OpenSslMd5Hex(bytes));
  }
}

TEST(AnswerCipherAgainstOpenSsl, LiteralFormInTheStandardsSettingsIsSingleDes) {
  std::mt19937 random(46);
  for (int i = 0; i < 200; ++i) {
    literal::Block key{}, plain{};
    for (auto& byte : key) {
      byte = static_cast<unsigned char>(random());
    }
    for (auto& byte : plain) {
      byte = static_cast<unsigned char>(random());
    }
    DES_cblock desKey;
    std::copy(key.begin(), key.end(), desKey);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&desKey, &schedule);
    DES_cblock input, output;
    std::copy(plain.begin(), plain.end(), input);
    DES_ecb_encrypt(&input, &output, &schedule, DES_ENCRYPT);

    const literal::Block ours = literal::Encipher(key, plain, literal::kStandardDes);
    ASSERT_TRUE(std::equal(ours.begin(), ours.end(), output));
    const literal::Block back = literal::Decipher(key, ours, literal::kStandardDes);
    ASSERT_EQ(back, plain);
  }
}

}  // namespace
}  // namespace vexo
