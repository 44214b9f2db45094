// The answer cipher in its literal form, as a second opinion for the tests: blocks, keys, halves
// and subkeys are arrays of single bits, one entry per numbered position, and every permutation
// is a walk over a standard table. The three points in which the answer cipher differs from the
// Data Encryption Standard are switches, so the same code also computes the standard itself.
#pragma once

#include <array>
#include <cstdint>

namespace vexo::literal {

using Block = std::array<unsigned char, 8>;

struct Variant {
  bool leastSignificantBitFirstNumbering;   // position n is bit (n-1) % 8, bit 0 least significant
  bool leastSignificantBitFirstSBoxOutput;  // the first of a box's four positions gets bit 0
  bool swapAfterLastRound;                  // the standard's swap of the halves before IP^-1
};

inline constexpr Variant kAnswerCipher{true, true, false};
inline constexpr Variant kStandardDes{false, false, true};

Block Encipher(const Block& key, const Block& plainBlock, const Variant& variant);
Block Decipher(const Block& key, const Block& cipherBlock, const Variant& variant);

}  // namespace vexo::literal
