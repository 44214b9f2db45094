// The answer cipher: its known answers, the literal position-array form as a second opinion,
// the answer layer around the blocks, and the process-wide lock.
#include "agent/crypto/answer_cipher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent/crypto/answer_cipher_internal.h"
#include "tests/crypto/literal_cipher.h"

namespace vexo {
namespace {

using literal::Block;

Block FromHex(std::string_view hex) {
  Block block{};
  for (size_t i = 0; i < 8; ++i) {
    block[i] =
        static_cast<unsigned char>(std::stoi(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  }
  return block;
}

std::string ToHex(const Block& block) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : block) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xf];
  }
  return hex;
}

const Block kAnswerKey = {0x3A, 0x9C, 0x51, 0xE7, 0x0D, 0x62, 0xB4, 0x28};

Block RandomBlock(std::mt19937& random) {
  Block block{};
  for (auto& byte : block) {
    byte = static_cast<unsigned char>(random());
  }
  return block;
}

std::string RandomBytes(std::mt19937& random, size_t size) {
  std::string bytes(size, '\0');
  for (auto& byte : bytes) {
    byte = static_cast<char>(random());
  }
  return bytes;
}

std::string Decipher(std::string_view bytes) {
  return DecipherAnswer(reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<uint32_t>(bytes.size()));
}

// What DecipherAnswer must give, computed block by block with the literal form.
std::string LiteralDecipherAnswer(std::string_view bytes) {
  std::string text;
  for (size_t offset = 0; offset < bytes.size(); offset += 8) {
    Block block{};
    std::memcpy(block.data(), bytes.data() + offset, std::min<size_t>(8, bytes.size() - offset));
    const Block plain = literal::Decipher(kAnswerKey, block, literal::kAnswerCipher);
    for (unsigned char byte : plain) {
      if (byte == 0) {
        break;
      }
      text += static_cast<char>(byte);
    }
  }
  return text;
}

struct KnownAnswer {
  const char* name;
  const char* plain;
  const char* cipher;
};

// The cipher's known answers under the answer key, from the project's design notes.
const KnownAnswer kKnownAnswers[] = {
    {"<respons", "3c726573706f6e73", "71abc67a40e62c9b"},
    {"zero block", "0000000000000000", "94d5bbed2214d9b2"},
};

TEST(AnswerCipher, LiteralFormComputesTheStandardsPublishedExample) {
  // The classic worked example of the Data Encryption Standard: with the three switches set to
  // the standard's choices the literal form is the standard, which checks the tables it shares
  // with the fast form.
  const Block key = FromHex("133457799bbcdff1");
  const Block plain = FromHex("0123456789abcdef");
  EXPECT_EQ(ToHex(literal::Encipher(key, plain, literal::kStandardDes)), "85e813540f0ab405");
  EXPECT_EQ(ToHex(literal::Decipher(key, FromHex("85e813540f0ab405"), literal::kStandardDes)),
            "0123456789abcdef");
}

TEST(AnswerCipher, LiteralFormGivesTheKnownAnswers) {
  for (const auto& c : kKnownAnswers) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToHex(literal::Encipher(kAnswerKey, FromHex(c.plain), literal::kAnswerCipher)),
              c.cipher);
    EXPECT_EQ(ToHex(literal::Decipher(kAnswerKey, FromHex(c.cipher), literal::kAnswerCipher)),
              c.plain);
  }
}

TEST(AnswerCipher, EachOfTheThreeDifferencesDecidesTheResult) {
  const literal::Variant oneChanged[] = {
      {false, true, false},
      {true, false, false},
      {true, true, true},
  };
  for (const auto& variant : oneChanged) {
    for (const auto& c : kKnownAnswers) {
      SCOPED_TRACE(c.name);
      EXPECT_NE(ToHex(literal::Encipher(kAnswerKey, FromHex(c.plain), variant)), c.cipher);
    }
  }
}

TEST(AnswerCipher, BlocksGiveTheKnownAnswers) {
  for (const auto& c : kKnownAnswers) {
    SCOPED_TRACE(c.name);
    Block block = FromHex(c.plain);
    EncipherBlock(block.data());
    EXPECT_EQ(ToHex(block), c.cipher);
    DecipherBlock(block.data());
    EXPECT_EQ(ToHex(block), c.plain);
  }
}

TEST(AnswerCipher, FastFormAgreesWithTheLiteralFormForAnyKey) {
  std::mt19937 random(20240605);
  for (int i = 0; i < 200; ++i) {
    const Block key = i == 0 ? kAnswerKey : RandomBlock(random);
    const Block block = RandomBlock(random);
    SCOPED_TRACE("key " + ToHex(key) + " block " + ToHex(block));
    const auto schedule = answer_cipher::ScheduleKey(key);

    Block enciphered = block;
    answer_cipher::EncipherBlockWith(schedule, enciphered.data());
    EXPECT_EQ(ToHex(enciphered), ToHex(literal::Encipher(key, block, literal::kAnswerCipher)));

    Block deciphered = block;
    answer_cipher::DecipherBlockWith(schedule, deciphered.data());
    EXPECT_EQ(ToHex(deciphered), ToHex(literal::Decipher(key, block, literal::kAnswerCipher)));
  }
}

TEST(AnswerCipher, DecipherBlockUndoesEncipherBlock) {
  std::mt19937 random(7);
  for (int i = 0; i < 1000; ++i) {
    const Block original = RandomBlock(random);
    Block block = original;
    EncipherBlock(block.data());
    EXPECT_NE(block, original);
    DecipherBlock(block.data());
    ASSERT_EQ(ToHex(block), ToHex(original));
  }
}

TEST(AnswerCipher, ZeroBytesGiveEmptyText) {
  std::string text = "poison";
  text = DecipherAnswer(nullptr, 0);
  EXPECT_EQ(text, "");
  const unsigned char byte = 0x41;
  text = "poison";
  text = DecipherAnswer(&byte, 0);
  EXPECT_EQ(text, "");
}

TEST(AnswerCipher, AnswersComeBackWhole) {
  const std::string texts[] = {
      "<respons",                          // one whole block
      "<response><update/></response>",    // a partial last block, padded with zero bytes
      "<response>\r\n<a b=\"\xB7\xA2\">",  // bytes above 0x7f pass unchanged
      "x",
  };
  for (const auto& text : texts) {
    SCOPED_TRACE(text);
    const std::string cipherText = EncipherAnswer(text);
    EXPECT_EQ(cipherText.size() % 8, 0u);
    EXPECT_GE(cipherText.size(), text.size());
    EXPECT_EQ(Decipher(cipherText), text);
  }
}

TEST(AnswerCipher, EncipherAnswerEnciphersEachBlockOnItsOwn) {
  const std::string cipherText = EncipherAnswer("<respons<respons");
  ASSERT_EQ(cipherText.size(), 16u);
  EXPECT_EQ(cipherText.substr(0, 8), cipherText.substr(8, 8));
  Block first{};
  std::memcpy(first.data(), cipherText.data(), 8);
  EXPECT_EQ(ToHex(first), "71abc67a40e62c9b");
}

TEST(AnswerCipher, AZeroByteDropsTheRestOfItsBlockOnly) {
  const std::pair<const char*, std::string> cases[] = {
      {"third byte zero", std::string("ab\0defgh", 8) + "ijklmnop"},
      {"first byte zero", std::string("\0bcdefgh", 8) + "ijklmnop"},
      {"last byte zero", std::string("abcdefg\0", 8) + "ijklmnop"},
      {"zero in the last block", std::string("abcdefgh") + std::string("ij\0lmnop", 8)},
  };
  const std::string expected[] = {"abijklmnop", "ijklmnop", "abcdefgijklmnop", "abcdefghij"};
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].first);
    EXPECT_EQ(Decipher(EncipherAnswer(cases[i].second)), expected[i]);
  }
}

TEST(AnswerCipher, APartialLastBlockIsDecipheredWithZeroBytesAfterIt) {
  std::mt19937 random(13);
  for (size_t size : {1, 5, 7, 9, 13, 15, 17, 1001}) {
    SCOPED_TRACE(size);
    for (int i = 0; i < 20; ++i) {
      const std::string bytes = RandomBytes(random, size);
      EXPECT_EQ(Decipher(bytes), LiteralDecipherAnswer(bytes));
    }
  }
  // The 13-byte case: the second block is the 5 bytes followed by three zero bytes.
  const std::string thirteen = RandomBytes(random, 13);
  EXPECT_EQ(Decipher(thirteen), Decipher(thirteen + std::string(3, '\0')));
}

TEST(AnswerCipher, TheKeyScheduleDependsOnlyOnTheKey) {
  std::mt19937 random(99);
  const std::string first = RandomBytes(random, 256);
  const std::string second = EncipherAnswer("<response>second</response>");
  const std::string firstAlone = Decipher(first);
  const std::string secondAlone = Decipher(second);

  // Blocks enciphered in between, and answers one after the other, leave no trace.
  unsigned char block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EncipherBlock(block);
  EXPECT_EQ(Decipher(first), firstAlone);
  EXPECT_EQ(Decipher(second), secondAlone);
  EXPECT_EQ(Decipher(first), firstAlone);
  EXPECT_EQ(secondAlone, "<response>second</response>");
}

TEST(AnswerCipher, ConcurrentAnswersAreDecipheredCorrectly) {
  std::mt19937 random(2024);
  constexpr int kThreads = 6;
  std::vector<std::string> texts;
  std::vector<std::string> cipherTexts;
  for (int i = 0; i < kThreads; ++i) {
    std::string text = "<response id=\"" + std::to_string(i) + "\">";
    while (text.size() < static_cast<size_t>(3000 + 100 * i)) {
      text += static_cast<char>('a' + random() % 26);
    }
    texts.push_back(text);
    cipherTexts.push_back(EncipherAnswer(text));
  }
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 40; ++round) {
        const int which = (t + round) % kThreads;
        if (Decipher(cipherTexts[which]) != texts[which]) {
          ++wrong[t];
        }
        unsigned char block[8] = {'<', 'r', 'e', 's', 'p', 'o', 'n', 's'};
        EncipherBlock(block);
        DecipherBlock(block);
        if (std::memcmp(block, "<respons", 8) != 0) {
          ++wrong[t];
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(wrong[t], 0) << "thread " << t;
  }
}

}  // namespace
}  // namespace vexo
