#include "tests/crypto/literal_cipher.h"

#include <utility>

#include "agent/crypto/des_tables.h"

namespace vexo::literal {
namespace {

template <std::size_t N>
using Positions = std::array<uint8_t, N>;  // entry i is position i + 1, 0 or 1

using Subkeys = std::array<Positions<48>, 16>;

int BitOfPosition(int position, const Variant& variant) {
  const int bit = (position - 1) % 8;
  return variant.leastSignificantBitFirstNumbering ? bit : 7 - bit;
}

Positions<64> ToPositions(const Block& bytes, const Variant& variant) {
  Positions<64> positions{};
  for (int n = 1; n <= 64; ++n) {
    positions[n - 1] = bytes[(n - 1) / 8] >> BitOfPosition(n, variant) & 1;
  }
  return positions;
}

Block ToBytes(const Positions<64>& positions, const Variant& variant) {
  Block bytes{};
  for (int n = 1; n <= 64; ++n) {
    if (positions[n - 1] != 0) {
      bytes[(n - 1) / 8] |= static_cast<unsigned char>(1 << BitOfPosition(n, variant));
    }
  }
  return bytes;
}

template <std::size_t N, std::size_t M>
Positions<N> Permute(const Positions<M>& input, const std::array<uint8_t, N>& table) {
  Positions<N> output{};
  for (std::size_t i = 0; i < N; ++i) {
    output[i] = input[table[i] - 1];
  }
  return output;
}

template <std::size_t N>
Positions<N> Xor(const Positions<N>& a, const Positions<N>& b) {
  Positions<N> result{};
  for (std::size_t i = 0; i < N; ++i) {
    result[i] = a[i] ^ b[i];
  }
  return result;
}

Positions<28> RotateLeft(const Positions<28>& half, int amount) {
  Positions<28> rotated{};
  for (int i = 0; i < 28; ++i) {
    rotated[i] = half[(i + amount) % 28];
  }
  return rotated;
}

Subkeys MakeSubkeys(const Block& key, const Variant& variant) {
  const Positions<56> cd = Permute(ToPositions(key, variant), des::kPermutedChoice1);
  Positions<28> c{}, d{};
  for (int i = 0; i < 28; ++i) {
    c[i] = cd[i];
    d[i] = cd[28 + i];
  }
  Subkeys subkeys{};
  for (int round = 0; round < 16; ++round) {
    c = RotateLeft(c, des::kKeyRotations[round]);
    d = RotateLeft(d, des::kKeyRotations[round]);
    Positions<56> joined{};
    for (int i = 0; i < 28; ++i) {
      joined[i] = c[i];
      joined[28 + i] = d[i];
    }
    subkeys[round] = Permute(joined, des::kPermutedChoice2);
  }
  return subkeys;
}

Positions<32> Substitute(const Positions<48>& input, const Variant& variant) {
  Positions<32> output{};
  for (int box = 0; box < 8; ++box) {
    const uint8_t* b = &input[6 * box];  // b[0] is b1
    const int row = 2 * b[0] + b[5];
    const int column = 8 * b[1] + 4 * b[2] + 2 * b[3] + b[4];
    const int value = des::kSBoxes[box][row][column];
    for (int k = 0; k < 4; ++k) {
      const int bit = variant.leastSignificantBitFirstSBoxOutput ? k : 3 - k;
      output[4 * box + k] = value >> bit & 1;
    }
  }
  return output;
}

Positions<32> RoundFunction(const Positions<32>& half, const Positions<48>& subkey,
                            const Variant& variant) {
  return Permute(Substitute(Xor(Permute(half, des::kExpansion), subkey), variant),
                 des::kPermutation);
}

void Split(const Positions<64>& whole, Positions<32>& left, Positions<32>& right) {
  for (int i = 0; i < 32; ++i) {
    left[i] = whole[i];
    right[i] = whole[32 + i];
  }
}

Positions<64> Join(const Positions<32>& left, const Positions<32>& right) {
  Positions<64> whole{};
  for (int i = 0; i < 32; ++i) {
    whole[i] = left[i];
    whole[32 + i] = right[i];
  }
  return whole;
}

}  // namespace

Block Encipher(const Block& key, const Block& plainBlock, const Variant& variant) {
  const Subkeys subkeys = MakeSubkeys(key, variant);
  Positions<32> left{}, right{};
  Split(Permute(ToPositions(plainBlock, variant), des::kInitialPermutation), left, right);
  for (int round = 0; round < 16; ++round) {
    const Positions<32> newRight = Xor(left, RoundFunction(right, subkeys[round], variant));
    left = right;
    right = newRight;
  }
  const Positions<64> preOutput =
      variant.swapAfterLastRound ? Join(right, left) : Join(left, right);
  return ToBytes(Permute(preOutput, des::kFinalPermutation), variant);
}

Block Decipher(const Block& key, const Block& cipherBlock, const Variant& variant) {
  const Subkeys subkeys = MakeSubkeys(key, variant);
  Positions<32> left{}, right{};
  Split(Permute(ToPositions(cipherBlock, variant), des::kInitialPermutation), left, right);
  if (variant.swapAfterLastRound) {
    std::swap(left, right);
  }
  for (int round = 15; round >= 0; --round) {
    const Positions<32> newLeft = Xor(right, RoundFunction(left, subkeys[round], variant));
    right = left;
    left = newLeft;
  }
  return ToBytes(Permute(Join(left, right), des::kFinalPermutation), variant);
}

}  // namespace vexo::literal
