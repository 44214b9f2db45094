// The answer cipher: the server enciphers the body of each answer with a 64-bit block cipher
// built from the tables of the Data Encryption Standard, each 8-byte block on its own, under a
// key fixed in the agent. It differs from the standard in three points: positions are numbered
// from the least significant bit of each byte, each S-box's value fills its four output positions
// least significant bit first, and there is no swap of the halves after the last round.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexo {

// Deciphers `count` bytes (0 or more) into narrow text under the process-wide cipher lock,
// computing the key schedule from the answer key first. A last partial block is deciphered with
// zero bytes in its missing places; each deciphered block contributes its bytes up to, not
// including, its first zero byte.
std::string DecipherAnswer(const unsigned char* bytes, uint32_t count);

// Deciphers one block in place with the current key schedule (that of the answer key).
void DecipherBlock(unsigned char block[8]);

// The matching encryption: every 8-byte block enciphered on its own; a last partial block is
// padded with zero bytes (which deciphering drops again). Text that holds a zero byte does not
// come back whole: deciphering drops the rest of that block.
std::string EncipherAnswer(std::string_view plainText);
void EncipherBlock(unsigned char block[8]);

}  // namespace vexo
