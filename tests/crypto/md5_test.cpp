// Md5Digest: published digests, input in pieces, files, and the calling rules around Final.
#include "agent/crypto/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace vexo {
namespace {

std::string DigestOf(std::string_view bytes) {
  Md5Digest digest;
  digest.Init();
  digest.Update(bytes.data(), static_cast<uint32_t>(bytes.size()));
  digest.Final();
  return digest.HexDigest();
}

// Bytes that differ from position to position, so a misplaced or repeated piece changes the
// digest.
std::string CountingBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>(i * 131 + i / 256);
  }
  return bytes;
}

struct KnownDigest {
  std::string input;
  const char* digest;
};

TEST(Md5Digest, GivesTheDigestsOfTheRfc1321TestSuite) {
  // RFC 1321, appendix A.5 "Test suite".
  const KnownDigest cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
       "0",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(DigestOf(c.input), c.digest);
  }
}

TEST(Md5Digest, GivesThePublishedDigestsAtThePaddingBoundaries) {
  // Runs of 'a' around the lengths where the padding needs a second block; digests as GNU
  // coreutils' md5sum gives them.
  const std::pair<size_t, const char*> cases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
      {57, "652b906d60af96844ebd21b674f35e93"},  {63, "b06521f39153d618550606be297466d5"},
      {64, "014842d480b571495a4a0363793f7367"},  {65, "c743a45e0d2e6a95cb859adae0248435"},
      {119, "8a7bd0732ed6a28ce75f6dabc90e1613"}, {120, "5f61c0ccad4cac44c75ff505e1f1e537"},
      {128, "e510683b3f5ffe4093d021808bc6ff70"},
  };
  for (const auto& [length, digest] : cases) {
    SCOPED_TRACE(length);
    EXPECT_EQ(DigestOf(std::string(length, 'a')), digest);
  }
}

TEST(Md5Digest, GivesTheSameDigestWhateverPiecesTheInputComesIn) {
  const std::string input = CountingBytes(5000);
  const std::string whole = DigestOf(input);
  ASSERT_EQ(whole.size(), 32u);
  for (size_t pieceSize : {1, 7, 55, 56, 63, 64, 65, 127, 1024, 4999}) {
    SCOPED_TRACE(pieceSize);
    Md5Digest digest;
    digest.Init();
    for (size_t offset = 0; offset < input.size(); offset += pieceSize) {
      const size_t count = std::min(pieceSize, input.size() - offset);
      digest.Update(input.data() + offset, static_cast<uint32_t>(count));
    }
    digest.Final();
    EXPECT_EQ(digest.HexDigest(), whole);
  }
  // Pieces of changing sizes, so the buffer is entered at every fill level.
  Md5Digest digest;
  digest.Init();
  size_t offset = 0;
  for (size_t pieceSize = 0; offset < input.size(); pieceSize = (pieceSize + 1) % 130) {
    const size_t count = std::min(pieceSize, input.size() - offset);
    digest.Update(input.data() + offset, static_cast<uint32_t>(count));
    offset += count;
  }
  digest.Final();
  EXPECT_EQ(digest.HexDigest(), whole);
}

TEST(Md5Digest, RendersLowercaseHexOnlyAfterFinal) {
  Md5Digest digest;
  digest.Init();
  digest.Update("abc", 3);
  EXPECT_EQ(digest.HexDigest(), "");
  digest.Final();
  EXPECT_EQ(digest.HexDigest(), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(digest.HexDigest(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5Digest, FinalRunsOnceOnly) {
  Md5Digest digest;
  digest.Init();
  digest.Update("abc", 3);
  digest.Final();
  digest.Final();
  EXPECT_EQ(digest.HexDigest(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5Digest, UpdateAfterFinalLeavesTheTextUntilInit) {
  Md5Digest digest;
  digest.Init();
  digest.Update("abc", 3);
  digest.Final();
  digest.Update("more bytes", 10);
  digest.Final();
  EXPECT_EQ(digest.HexDigest(), "900150983cd24fb0d6963f7d28e17f72");

  digest.Init();
  EXPECT_EQ(digest.HexDigest(), "");
  digest.Update("a", 1);
  digest.Final();
  EXPECT_EQ(digest.HexDigest(), "0cc175b9c0f1b6a831c399e269772661");
}

TEST(Md5Digest, InitStartsAFreshDigestInTheMiddleOfOne) {
  Md5Digest digest;
  digest.Init();
  digest.Update("some bytes that are thrown away with the digest", 47);
  digest.Init();
  digest.Update("abc", 3);
  digest.Final();
  EXPECT_EQ(digest.HexDigest(), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5Digest, IsAPlainValueObject) {
  static_assert(std::is_trivially_copyable_v<Md5Digest>);
  Md5Digest original;
  original.Init();
  original.Update("ab", 2);
  Md5Digest copy = original;
  copy.Update("c", 1);
  copy.Final();
  original.Update("x", 1);
  original.Final();
  EXPECT_EQ(copy.HexDigest(), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_NE(original.HexDigest(), copy.HexDigest());
}

class Md5DigestFile : public ::testing::Test {
 protected:
  std::u16string Write(const std::u16string& name, const std::string& contents) {
    const std::filesystem::path path = folder_.path() / std::filesystem::path(name);
    std::ofstream(path, std::ios::binary)
        .write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return path.u16string();
  }

  testing::TempFolder folder_;
};

std::string DigestOfFile(const std::u16string& path, std::string_view before = {}) {
  Md5Digest digest;
  digest.Init();
  digest.Update(before.data(), static_cast<uint32_t>(before.size()));
  digest.UpdateFromFile(path);
  digest.Final();
  return digest.HexDigest();
}

TEST_F(Md5DigestFile, DigestsWholeFilesOfAnyLength) {
  for (size_t size : {0, 1, 1023, 1024, 1025, 2048, 3 * 1024 + 17, 64 * 1024}) {
    SCOPED_TRACE(size);
    const std::string contents = CountingBytes(size);
    const std::u16string path = Write(u"file.bin", contents);
    EXPECT_EQ(DigestOfFile(path), DigestOf(contents));
  }
}

TEST_F(Md5DigestFile, AddsTheFileToWhatCameBefore) {
  const std::u16string path = Write(u"tail.bin", "c");
  EXPECT_EQ(DigestOfFile(path, "ab"), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(Md5DigestFile, ReadsAFileThatAnotherStreamHasOpenForWriting) {
  const std::string contents = CountingBytes(2500);
  const std::u16string path = Write(u"in-use.bin", contents);
  std::ofstream writer(std::filesystem::path(path), std::ios::binary | std::ios::app);
  ASSERT_TRUE(writer.is_open());
  EXPECT_EQ(DigestOfFile(path), DigestOf(contents));
}

TEST_F(Md5DigestFile, OpensNamesOutsideAscii) {
  const std::string contents = CountingBytes(3000);
  const std::u16string path = Write(u"\u53d1\u73b0\u65b0\u7248\u672c-\u00e9.exe", contents);
  EXPECT_EQ(DigestOfFile(path), DigestOf(contents));
}

TEST_F(Md5DigestFile, AFileThatCannotBeOpenedAddsNothing) {
  const std::u16string folder = folder_.path().u16string();
  const std::u16string existing = Write(u"exists.bin", "contents that must not be added");
  const std::pair<const char*, std::u16string> cases[] = {
      {"missing file", folder + u"/missing.bin"},
      {"missing folder", folder + u"/no-such-folder/file.bin"},
      {"a folder", folder},
      {"empty path", u""},
      {"unpaired surrogate", folder + u"/\xD800.bin"},
      {"zero unit inside the name", existing + std::u16string(1, u'\0') + u"suffix"},
  };
  for (const auto& [name, path] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(DigestOfFile(path), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(DigestOfFile(path, "abc"), "900150983cd24fb0d6963f7d28e17f72");
  }
}

}  // namespace
}  // namespace vexo
