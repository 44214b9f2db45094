// MD5 digests (RFC 1321) rendered as 32 lowercase hexadecimal digits. Used to check a downloaded
// installer against the digest the server sent, and to key pop-up URLs in the per-day file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vexo {

// A plain value object without heap memory, as a rule a local of its caller.
// Calling order: Init, any number of Update / UpdateFromFile, Final, then HexDigest as often as
// wanted. After Final only Init makes the object usable for a new digest.
class Md5Digest {
 public:
  // Starts a digest: not finalized, no bits counted, the RFC 1321 chaining values.
  void Init();

  // Adds `count` bytes. Does not look at the finalized flag: bytes added after Final change the
  // running state but not the digest already written.
  void Update(const void* bytes, uint32_t count);

  // Adds the contents of the file at `path`, read in binary in 1024-byte chunks. A file that
  // cannot be opened adds nothing and reports nothing.
  void UpdateFromFile(const std::u16string& path);

  // Pads, appends the bit count and writes the digest. Once only: later calls do nothing.
  void Final();

  // The 16 digest bytes as 32 lowercase hexadecimal digits after Final, else the empty string.
  std::string HexDigest() const;

 private:
  void TransformBlocks(const unsigned char* blocks, uint32_t blockCount);

  // A default-constructed object is already in the state Init gives it.
  bool finalized_ = false;
  unsigned char buffer_[64] = {};  // input bytes not yet transformed
  uint32_t bitCount_[2] = {0, 0};  // bits added so far, low word first
  uint32_t state_[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};  // A, B, C, D
  unsigned char digest_[16] = {};                                             // written by Final
};

// The digest text of a whole byte string (at most 4 GiB - 1 bytes).
std::string Md5HexOf(std::string_view bytes);

// The digest text of the whole file at `path`, read in binary; nothing when it cannot be opened
// or read to its end. A name holding U+0000, or one that is no file name of this system, cannot
// be opened.
std::optional<std::string> Md5HexOfFile(const std::filesystem::path& path);
std::optional<std::string> Md5HexOfFile(const std::u16string& path);

}  // namespace vexo
