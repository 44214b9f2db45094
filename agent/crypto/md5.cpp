#include "agent/crypto/md5.h"

#include <bit>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>

namespace vexo {
namespace {

static_assert(sizeof(bool) == 1, "the finalized flag is an 8-bit field");

constexpr uint32_t kInitialState[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
constexpr uint32_t kFileChunkBytes = 1024;

uint32_t LoadLittleEndian32(const unsigned char* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
  } else {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  }
}

// `path` as a file name of this system; nothing when it holds U+0000 (the system would cut it
// short and open another file) or does not convert.
std::optional<std::filesystem::path> SystemFileName(const std::u16string& path) {
  if (path.find(u'\0') != std::u16string::npos) {
    return std::nullopt;
  }
  try {
    return std::filesystem::path(path);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Adds the file's bytes in chunks; false when it cannot be opened (nothing added) or a read
// fails (the bytes before it stay added).
bool AddFile(Md5Digest& digest, const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file) {
    return false;
  }
  char chunk[kFileChunkBytes];
  while (file) {
    file.read(chunk, sizeof chunk);
    const std::streamsize got = file.gcount();
    if (got <= 0) {
      break;
    }
    digest.Update(chunk, static_cast<uint32_t>(got));
  }
  return !file.bad();
}

void StoreLittleEndian32(uint32_t value, unsigned char* p) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
  p[2] = static_cast<unsigned char>(value >> 16);
  p[3] = static_cast<unsigned char>(value >> 24);
}

// The four round steps: a = b + ((a + g(b, c, d) + x + t) <<< s).
// F as d ^ (b & (c ^ d)) needs one operation less than (b & c) | (~b & d); the two halves of G
// have no bit in common, so they are added separately and need not wait for each other.
inline uint32_t StepF(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t,
                      int s) {
  return b + std::rotl(a + x + t + (d ^ (b & (c ^ d))), s);
}
inline uint32_t StepG(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t,
                      int s) {
  return b + std::rotl(a + x + t + (c & ~d) + (b & d), s);
}
inline uint32_t StepH(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t,
                      int s) {
  return b + std::rotl(a + x + t + (b ^ c ^ d), s);
}
inline uint32_t StepI(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t,
                      int s) {
  return b + std::rotl(a + x + t + (c ^ (b | ~d)), s);
}

void TransformBlock(uint32_t state[4], const unsigned char* block) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) {
    x[i] = LoadLittleEndian32(block + 4 * i);
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  a = StepF(a, b, c, d, x[0], 0xd76aa478u, 7);
  d = StepF(d, a, b, c, x[1], 0xe8c7b756u, 12);
  c = StepF(c, d, a, b, x[2], 0x242070dbu, 17);
  b = StepF(b, c, d, a, x[3], 0xc1bdceeeu, 22);
  a = StepF(a, b, c, d, x[4], 0xf57c0fafu, 7);
  d = StepF(d, a, b, c, x[5], 0x4787c62au, 12);
  c = StepF(c, d, a, b, x[6], 0xa8304613u, 17);
  b = StepF(b, c, d, a, x[7], 0xfd469501u, 22);
  a = StepF(a, b, c, d, x[8], 0x698098d8u, 7);
  d = StepF(d, a, b, c, x[9], 0x8b44f7afu, 12);
  c = StepF(c, d, a, b, x[10], 0xffff5bb1u, 17);
  b = StepF(b, c, d, a, x[11], 0x895cd7beu, 22);
  a = StepF(a, b, c, d, x[12], 0x6b901122u, 7);
  d = StepF(d, a, b, c, x[13], 0xfd987193u, 12);
  c = StepF(c, d, a, b, x[14], 0xa679438eu, 17);
  b = StepF(b, c, d, a, x[15], 0x49b40821u, 22);

  a = StepG(a, b, c, d, x[1], 0xf61e2562u, 5);
  d = StepG(d, a, b, c, x[6], 0xc040b340u, 9);
  c = StepG(c, d, a, b, x[11], 0x265e5a51u, 14);
  b = StepG(b, c, d, a, x[0], 0xe9b6c7aau, 20);
  a = StepG(a, b, c, d, x[5], 0xd62f105du, 5);
  d = StepG(d, a, b, c, x[10], 0x02441453u, 9);
  c = StepG(c, d, a, b, x[15], 0xd8a1e681u, 14);
  b = StepG(b, c, d, a, x[4], 0xe7d3fbc8u, 20);
  a = StepG(a, b, c, d, x[9], 0x21e1cde6u, 5);
  d = StepG(d, a, b, c, x[14], 0xc33707d6u, 9);
  c = StepG(c, d, a, b, x[3], 0xf4d50d87u, 14);
  b = StepG(b, c, d, a, x[8], 0x455a14edu, 20);
  a = StepG(a, b, c, d, x[13], 0xa9e3e905u, 5);
  d = StepG(d, a, b, c, x[2], 0xfcefa3f8u, 9);
  c = StepG(c, d, a, b, x[7], 0x676f02d9u, 14);
  b = StepG(b, c, d, a, x[12], 0x8d2a4c8au, 20);

  a = StepH(a, b, c, d, x[5], 0xfffa3942u, 4);
  d = StepH(d, a, b, c, x[8], 0x8771f681u, 11);
  c = StepH(c, d, a, b, x[11], 0x6d9d6122u, 16);
  b = StepH(b, c, d, a, x[14], 0xfde5380cu, 23);
  a = StepH(a, b, c, d, x[1], 0xa4beea44u, 4);
  d = StepH(d, a, b, c, x[4], 0x4bdecfa9u, 11);
  c = StepH(c, d, a, b, x[7], 0xf6bb4b60u, 16);
  b = StepH(b, c, d, a, x[10], 0xbebfbc70u, 23);
  a = StepH(a, b, c, d, x[13], 0x289b7ec6u, 4);
  d = StepH(d, a, b, c, x[0], 0xeaa127fau, 11);
  c = StepH(c, d, a, b, x[3], 0xd4ef3085u, 16);
  b = StepH(b, c, d, a, x[6], 0x04881d05u, 23);
  a = StepH(a, b, c, d, x[9], 0xd9d4d039u, 4);
  d = StepH(d, a, b, c, x[12], 0xe6db99e5u, 11);
  c = StepH(c, d, a, b, x[15], 0x1fa27cf8u, 16);
  b = StepH(b, c, d, a, x[2], 0xc4ac5665u, 23);

  a = StepI(a, b, c, d, x[0], 0xf4292244u, 6);
  d = StepI(d, a, b, c, x[7], 0x432aff97u, 10);
  c = StepI(c, d, a, b, x[14], 0xab9423a7u, 15);
  b = StepI(b, c, d, a, x[5], 0xfc93a039u, 21);
  a = StepI(a, b, c, d, x[12], 0x655b59c3u, 6);
  d = StepI(d, a, b, c, x[3], 0x8f0ccc92u, 10);
  c = StepI(c, d, a, b, x[10], 0xffeff47du, 15);
  b = StepI(b, c, d, a, x[1], 0x85845dd1u, 21);
  a = StepI(a, b, c, d, x[8], 0x6fa87e4fu, 6);
  d = StepI(d, a, b, c, x[15], 0xfe2ce6e0u, 10);
  c = StepI(c, d, a, b, x[6], 0xa3014314u, 15);
  b = StepI(b, c, d, a, x[13], 0x4e0811a1u, 21);
  a = StepI(a, b, c, d, x[4], 0xf7537e82u, 6);
  d = StepI(d, a, b, c, x[11], 0xbd3af235u, 10);
  c = StepI(c, d, a, b, x[2], 0x2ad7d2bbu, 15);
  b = StepI(b, c, d, a, x[9], 0xeb86d391u, 21);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void Md5Digest::Init() {
  finalized_ = false;
  bitCount_[0] = 0;
  bitCount_[1] = 0;
  std::memcpy(state_, kInitialState, sizeof state_);
}

void Md5Digest::TransformBlocks(const unsigned char* blocks, uint32_t blockCount) {
  for (uint32_t i = 0; i < blockCount; ++i) {
    TransformBlock(state_, blocks + 64 * i);
  }
}

void Md5Digest::Update(const void* bytes, uint32_t count) {
  if (count == 0) {
    return;
  }
  const auto* input = static_cast<const unsigned char*>(bytes);
  uint32_t index = (bitCount_[0] >> 3) & 0x3f;

  const uint32_t addedLow = count << 3;
  bitCount_[0] += addedLow;
  if (bitCount_[0] < addedLow) {
    ++bitCount_[1];
  }
  bitCount_[1] += count >> 29;

  uint32_t used = 0;
  if (index != 0) {
    const uint32_t room = 64 - index;
    if (count < room) {
      std::memcpy(buffer_ + index, input, count);
      return;
    }
    std::memcpy(buffer_ + index, input, room);
    TransformBlocks(buffer_, 1);
    used = room;
    index = 0;
  }
  const uint32_t wholeBlocks = (count - used) / 64;
  TransformBlocks(input + used, wholeBlocks);
  used += wholeBlocks * 64;
  std::memcpy(buffer_, input + used, count - used);
}

void Md5Digest::UpdateFromFile(const std::u16string& path) {
  if (std::optional<std::filesystem::path> name = SystemFileName(path)) {
    AddFile(*this, *name);
  }
}

void Md5Digest::Final() {
  if (finalized_) {
    return;
  }
  unsigned char bitCountBytes[8];
  StoreLittleEndian32(bitCount_[0], bitCountBytes);
  StoreLittleEndian32(bitCount_[1], bitCountBytes + 4);

  static constexpr unsigned char kPadding[64] = {0x80};
  const uint32_t index = (bitCount_[0] >> 3) & 0x3f;
  const uint32_t paddingBytes = index < 56 ? 56 - index : 120 - index;
  Update(kPadding, paddingBytes);
  Update(bitCountBytes, sizeof bitCountBytes);

  for (int i = 0; i < 4; ++i) {
    StoreLittleEndian32(state_[i], digest_ + 4 * i);
  }
  std::memset(buffer_, 0, sizeof buffer_);
  bitCount_[0] = 0;
  bitCount_[1] = 0;
  finalized_ = true;
}

std::string Md5Digest::HexDigest() const {
  if (!finalized_) {
    return std::string();
  }
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string text(2 * sizeof digest_, '\0');
  for (size_t i = 0; i < sizeof digest_; ++i) {
    text[2 * i] = kHexDigits[digest_[i] >> 4];
    text[2 * i + 1] = kHexDigits[digest_[i] & 0x0f];
  }
  return text;
}

std::string Md5HexOf(std::string_view bytes) {
  Md5Digest digest;
  digest.Init();
  digest.Update(bytes.data(), static_cast<uint32_t>(bytes.size()));
  digest.Final();
  return digest.HexDigest();
}

std::optional<std::string> Md5HexOfFile(const std::filesystem::path& path) {
  if (path.native().find('\0') != std::filesystem::path::string_type::npos) {
    return std::nullopt;
  }
  Md5Digest digest;
  digest.Init();
  if (!AddFile(digest, path)) {
    return std::nullopt;
  }
  digest.Final();
  return digest.HexDigest();
}

std::optional<std::string> Md5HexOfFile(const std::u16string& path) {
  std::optional<std::filesystem::path> name = SystemFileName(path);
  return name ? Md5HexOfFile(*name) : std::nullopt;
}

}  // namespace vexo
