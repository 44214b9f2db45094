// The answer cipher's building blocks for any key, for the tests, the fuzz target and the
// benchmarks. The agent itself uses only answer_cipher.h.
#pragma once

#include <array>
#include <cstdint>

namespace vexo::answer_cipher {

// The answer key: the 8 bytes with which the server enciphers its answers.
inline constexpr std::array<unsigned char, 8> kAnswerKey = {0x3A, 0x9C, 0x51, 0xE7,
                                                            0x0D, 0x62, 0xB4, 0x28};

// The 16 subkeys K1..K16, each kept as the two words that the round function XORs into its two
// rotations of the half: the subkey's 6-position groups 1, 3, 5, 7 in `oddNumberedGroups` and
// 2, 4, 6, 8 in `evenNumberedGroups`, one group per byte from the most significant byte on, each
// with its first position as the group's most significant bit.
struct KeySchedule {
  uint32_t oddNumberedGroups[16];
  uint32_t evenNumberedGroups[16];
};

KeySchedule ScheduleKey(const std::array<unsigned char, 8>& key);

void DecipherBlockWith(const KeySchedule& schedule, unsigned char block[8]);
void EncipherBlockWith(const KeySchedule& schedule, unsigned char block[8]);

}  // namespace vexo::answer_cipher
