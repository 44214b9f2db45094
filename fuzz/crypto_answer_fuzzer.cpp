// Deciphers arbitrary bytes as a server answer. Whatever comes in, the text holds no zero byte,
// is no longer than the input padded to whole blocks, and comes back unchanged through the
// matching encryption.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/crypto/answer_cipher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) {
    return -1;
  }
  const std::string text = vexo::DecipherAnswer(data, static_cast<uint32_t>(size));
  if (text.size() > (size + 7) / 8 * 8 || text.find('\0') != std::string::npos) {
    std::abort();
  }
  const std::string again = vexo::EncipherAnswer(text);
  if (vexo::DecipherAnswer(reinterpret_cast<const unsigned char*>(again.data()),
                           static_cast<uint32_t>(again.size())) != text) {
    std::abort();
  }
  return 0;
}
