#include "agent/crypto/answer_cipher.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <mutex>

#include "agent/crypto/answer_cipher_internal.h"
#include "agent/crypto/des_tables.h"

// The cipher is defined on arrays of numbered positions. Here those permutations are folded into
// tables built at compile time from the standard tables, and the halves are 32-bit words:
//   - bytes -> positions: position n is bit (n - 1) % 8 of byte (n - 1) / 8, least significant
//     bit first, for blocks and keys alike;
//   - the halves L (positions 1..32) and R (33..64) are words with position p at bit 32 - p,
//     and L:R as one 64-bit word has position p at bit 64 - p;
//   - the initial permutation with the byte numbering is one table per input byte, and so is the
//     inverse permutation back to bytes;
//   - each S-box with its least-significant-bit-first output and the permutation P is one table
//     of 64 words, indexed by the box's 6 input positions with the first as most significant bit.

namespace vexo {
namespace answer_cipher {
namespace {

using Table64 = std::array<std::array<uint64_t, 256>, 8>;
using SpTable = std::array<std::array<uint32_t, 64>, 8>;

constexpr int ByteOfPosition(int position) {
  return (position - 1) / 8;
}
constexpr int BitOfPosition(int position) {
  return (position - 1) % 8;
}

// Spreads the contribution of each single bit of a byte over all 256 values of that byte.
constexpr Table64 SpreadOverByteValues(const uint64_t singleBits[8][8]) {
  Table64 table{};
  for (int byte = 0; byte < 8; ++byte) {
    for (int value = 0; value < 256; ++value) {
      uint64_t word = 0;
      for (int bit = 0; bit < 8; ++bit) {
        if (value >> bit & 1) {
          word |= singleBits[byte][bit];
        }
      }
      table[byte][value] = word;
    }
  }
  return table;
}

// Input byte -> its part of L:R after the initial permutation.
constexpr Table64 MakeInitialTable() {
  uint64_t singleBits[8][8] = {};
  for (int output = 1; output <= 64; ++output) {
    const int input = des::kInitialPermutation[output - 1];
    singleBits[ByteOfPosition(input)][BitOfPosition(input)] |= uint64_t{1} << (64 - output);
  }
  return SpreadOverByteValues(singleBits);
}

// Byte m of L:R (bits 8m..8m+7) -> its part of the output block after the inverse permutation,
// output byte i in bits 8i..8i+7.
constexpr Table64 MakeFinalTable() {
  uint64_t singleBits[8][8] = {};
  for (int output = 1; output <= 64; ++output) {
    const int inputBit = 64 - des::kFinalPermutation[output - 1];
    singleBits[inputBit / 8][inputBit % 8] |= uint64_t{1} << (output - 1);
  }
  return SpreadOverByteValues(singleBits);
}

constexpr SpTable MakeSpTable() {
  SpTable table{};
  for (int box = 0; box < 8; ++box) {
    for (int group = 0; group < 64; ++group) {
      const int row = (group >> 5 & 1) * 2 + (group & 1);
      const int column = group >> 1 & 0xf;
      const int value = des::kSBoxes[box][row][column];
      uint32_t word = 0;
      for (int output = 1; output <= 32; ++output) {
        const int input = des::kPermutation[output - 1];
        const int boxOfInput = (input - 1) / 4;
        const int bitOfValue = (input - 1) % 4;  // the box's first output position is bit 0
        if (boxOfInput == box && (value >> bitOfValue & 1)) {
          word |= uint32_t{1} << (32 - output);
        }
      }
      table[box][group] = word;
    }
  }
  return table;
}

constexpr Table64 kInitialTable = MakeInitialTable();
constexpr Table64 kFinalTable = MakeFinalTable();
constexpr SpTable kSpTable = MakeSpTable();

constexpr KeySchedule BuildKeySchedule(const std::array<unsigned char, 8>& key) {
  std::array<bool, 64> keyBits{};
  for (int position = 1; position <= 64; ++position) {
    keyBits[position - 1] = key[ByteOfPosition(position)] >> BitOfPosition(position) & 1;
  }
  std::array<bool, 56> halves{};  // C in 0..27, D in 28..55
  for (int i = 0; i < 56; ++i) {
    halves[i] = keyBits[des::kPermutedChoice1[i] - 1];
  }
  KeySchedule schedule{};
  for (int round = 0; round < 16; ++round) {
    std::array<bool, 56> rotated{};
    const int amount = des::kKeyRotations[round];
    for (int i = 0; i < 28; ++i) {
      rotated[i] = halves[(i + amount) % 28];
      rotated[28 + i] = halves[28 + (i + amount) % 28];
    }
    halves = rotated;
    uint32_t groups[8] = {};
    for (int i = 0; i < 48; ++i) {
      groups[i / 6] = groups[i / 6] << 1 | halves[des::kPermutedChoice2[i] - 1];
    }
    schedule.oddNumberedGroups[round] =
        groups[0] << 24 | groups[2] << 16 | groups[4] << 8 | groups[6];
    schedule.evenNumberedGroups[round] =
        groups[1] << 24 | groups[3] << 16 | groups[5] << 8 | groups[7];
  }
  return schedule;
}

// f(X, K) = P(S(E(X) XOR K)). The expansion's group j (0-based) is positions 4j..4j+5 of X,
// cyclic; with position p at bit 32 - p, groups 0, 2, 4, 6 sit in the bytes of X rotated right
// by 3 and groups 1, 3, 5, 7 in those of X rotated left by 1.
inline uint32_t RoundFunction(uint32_t half, uint32_t oddNumbered, uint32_t evenNumbered) {
  const uint32_t u = std::rotr(half, 3) ^ oddNumbered;
  const uint32_t t = std::rotl(half, 1) ^ evenNumbered;
  return kSpTable[0][u >> 24 & 0x3f] ^ kSpTable[2][u >> 16 & 0x3f] ^ kSpTable[4][u >> 8 & 0x3f] ^
         kSpTable[6][u & 0x3f] ^ kSpTable[1][t >> 24 & 0x3f] ^ kSpTable[3][t >> 16 & 0x3f] ^
         kSpTable[5][t >> 8 & 0x3f] ^ kSpTable[7][t & 0x3f];
}

inline uint64_t LoadHalves(const unsigned char block[8]) {
  uint64_t halves = 0;
  for (int i = 0; i < 8; ++i) {
    halves |= kInitialTable[i][block[i]];
  }
  return halves;
}

// The inverse initial permutation of L followed by R as they stand (no swap), as the 8 output
// bytes with byte i in bits 8i..8i+7.
inline uint64_t FinalPermutation(uint32_t left, uint32_t right) {
  uint64_t bytes = 0;
  for (int i = 0; i < 4; ++i) {
    bytes |= kFinalTable[i][right >> 8 * i & 0xff] | kFinalTable[4 + i][left >> 8 * i & 0xff];
  }
  return bytes;
}

inline void StoreBytes(uint64_t bytes, unsigned char* block) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(block, &bytes, 8);
  } else {
    for (int i = 0; i < 8; ++i) {
      block[i] = static_cast<unsigned char>(bytes >> 8 * i);
    }
  }
}

// Rounds i = 16 down to 1: new L = R XOR f(L, Ki), new R = old L; two rounds per pass, so the
// words swap roles instead of values.
inline uint64_t Decipher(const KeySchedule& schedule, const unsigned char* block) {
  const uint64_t halves = LoadHalves(block);
  uint32_t left = static_cast<uint32_t>(halves >> 32);
  uint32_t right = static_cast<uint32_t>(halves);
  for (int i = 15; i > 0; i -= 2) {
    right ^= RoundFunction(left, schedule.oddNumberedGroups[i], schedule.evenNumberedGroups[i]);
    left ^=
        RoundFunction(right, schedule.oddNumberedGroups[i - 1], schedule.evenNumberedGroups[i - 1]);
  }
  return FinalPermutation(left, right);
}

// Rounds i = 1 to 16: new L = old R, new R = old L XOR f(old R, Ki).
inline uint64_t Encipher(const KeySchedule& schedule, const unsigned char* block) {
  const uint64_t halves = LoadHalves(block);
  uint32_t left = static_cast<uint32_t>(halves >> 32);
  uint32_t right = static_cast<uint32_t>(halves);
  for (int i = 0; i < 16; i += 2) {
    left ^= RoundFunction(right, schedule.oddNumberedGroups[i], schedule.evenNumberedGroups[i]);
    right ^=
        RoundFunction(left, schedule.oddNumberedGroups[i + 1], schedule.evenNumberedGroups[i + 1]);
  }
  return FinalPermutation(left, right);
}

// How many of the 8 bytes (byte i in bits 8i..8i+7) come before the first zero byte. The lowest
// byte flagged by the word-at-a-time zero test is always a real zero byte.
inline size_t BytesBeforeFirstZero(uint64_t bytes) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighBits = 0x8080808080808080u;
  const uint64_t zeroBytes = (bytes - kOnes) & ~bytes & kHighBits;
  return zeroBytes == 0 ? 8 : static_cast<size_t>(std::countr_zero(zeroBytes)) / 8;
}

// The process-wide working storage and its lock. The schedule starts as that of the answer key,
// so a block deciphered before any answer uses the right key too.
std::mutex g_cipherLock;
constinit KeySchedule g_keySchedule = BuildKeySchedule(kAnswerKey);

constexpr size_t RoundUpToBlocks(size_t count) {
  return (count + 7) / 8 * 8;
}

}  // namespace

KeySchedule ScheduleKey(const std::array<unsigned char, 8>& key) {
  return BuildKeySchedule(key);
}

void DecipherBlockWith(const KeySchedule& schedule, unsigned char block[8]) {
  StoreBytes(Decipher(schedule, block), block);
}

void EncipherBlockWith(const KeySchedule& schedule, unsigned char block[8]) {
  StoreBytes(Encipher(schedule, block), block);
}

}  // namespace answer_cipher

std::string DecipherAnswer(const unsigned char* bytes, uint32_t count) {
  using namespace answer_cipher;
  std::lock_guard<std::mutex> lock(g_cipherLock);
  g_keySchedule = ScheduleKey(kAnswerKey);

  // Each block is written whole at the end of the text so far, then the text grows by the
  // block's bytes before its first zero byte; the room for the last write is cut off at the end.
  std::string text(RoundUpToBlocks(count), '\0');
  size_t length = 0;
  const auto appendDeciphered = [&](const unsigned char* block) {
    const uint64_t plain = answer_cipher::Decipher(g_keySchedule, block);
    StoreBytes(plain, reinterpret_cast<unsigned char*>(text.data()) + length);
    length += BytesBeforeFirstZero(plain);
  };
  const size_t wholeBlockBytes = count / 8 * 8;
  for (size_t offset = 0; offset < wholeBlockBytes; offset += 8) {
    appendDeciphered(bytes + offset);
  }
  if (wholeBlockBytes < count) {
    unsigned char lastBlock[8] = {};  // the missing bytes stay zero
    std::memcpy(lastBlock, bytes + wholeBlockBytes, count - wholeBlockBytes);
    appendDeciphered(lastBlock);
  }
  text.resize(length);
  return text;
}

void DecipherBlock(unsigned char block[8]) {
  using namespace answer_cipher;
  std::lock_guard<std::mutex> lock(g_cipherLock);
  DecipherBlockWith(g_keySchedule, block);
}

std::string EncipherAnswer(std::string_view plainText) {
  using namespace answer_cipher;
  std::lock_guard<std::mutex> lock(g_cipherLock);
  g_keySchedule = ScheduleKey(kAnswerKey);

  std::string cipherText(RoundUpToBlocks(plainText.size()), '\0');
  for (size_t offset = 0; offset < plainText.size(); offset += 8) {
    unsigned char block[8] = {};
    std::memcpy(block, plainText.data() + offset, std::min<size_t>(8, plainText.size() - offset));
    StoreBytes(answer_cipher::Encipher(g_keySchedule, block),
               reinterpret_cast<unsigned char*>(cipherText.data()) + offset);
  }
  return cipherText;
}

void EncipherBlock(unsigned char block[8]) {
  using namespace answer_cipher;
  std::lock_guard<std::mutex> lock(g_cipherLock);
  EncipherBlockWith(g_keySchedule, block);
}

}  // namespace vexo
