// MD5 of arbitrary bytes: any split of the input into two pieces gives the digest of the whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "agent/crypto/md5.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 1 << 20) {
    return -1;
  }
  const size_t split = data[0] % size;
  vexo::Md5Digest whole;
  whole.Init();
  whole.Update(data, static_cast<uint32_t>(size));
  whole.Final();
  vexo::Md5Digest pieces;
  pieces.Init();
  pieces.Update(data, static_cast<uint32_t>(split));
  pieces.Update(data + split, static_cast<uint32_t>(size - split));
  pieces.Final();
  if (whole.HexDigest() != pieces.HexDigest() || whole.HexDigest().size() != 32) {
    std::abort();
  }
  return 0;
}
