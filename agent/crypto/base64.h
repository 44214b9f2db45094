// Standard base64 (RFC 4648, section 4) with padding, the text form of keys and signatures.
// Decoding is strict: only the one canonical text of a value of the expected length is accepted,
// so that a key or signature has exactly one spelling.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexo {

inline constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr size_t Base64Length(size_t bytes) {
  return (bytes + 2) / 3 * 4;
}

// The value of an alphabet character, -1 for any other.
constexpr int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z')
    return c - 'A';
  if (c >= 'a' && c <= 'z')
    return c - 'a' + 26;
  if (c >= '0' && c <= '9')
    return c - '0' + 52;
  if (c == '+')
    return 62;
  if (c == '/')
    return 63;
  return -1;
}

inline std::string EncodeBase64(const unsigned char* bytes, size_t count) {
  std::string text;
  text.reserve(Base64Length(count));
  for (size_t i = 0; i < count; i += 3) {
    size_t taken = count - i < 3 ? count - i : 3;
    uint32_t group = uint32_t{bytes[i]} << 16;
    if (taken > 1)
      group |= uint32_t{bytes[i + 1]} << 8;
    if (taken > 2)
      group |= bytes[i + 2];
    for (size_t j = 0; j < 4; ++j)
      text += j <= taken ? kBase64Alphabet[(group >> (18 - 6 * j)) & 63] : '=';
  }
  return text;
}

template <size_t N>
std::string EncodeBase64(const std::array<unsigned char, N>& bytes) {
  return EncodeBase64(bytes.data(), N);
}

// The N bytes whose canonical base64 text `text` is, or nothing: wrong length, a character
// outside the alphabet, padding out of place, or bits set beyond the last byte.
template <size_t N>
constexpr std::optional<std::array<unsigned char, N>> DecodeBase64(std::string_view text) {
  static_assert(N > 0);
  constexpr size_t kDataCharacters = (N * 4 + 2) / 3;
  if (text.size() != Base64Length(N))
    return std::nullopt;
  std::array<unsigned char, N> bytes{};
  size_t written = 0;
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t group = 0;
    for (size_t j = i; j < i + 4; ++j) {
      int value = j < kDataCharacters ? Base64Value(text[j]) : (text[j] == '=' ? 0 : -1);
      if (value < 0)
        return std::nullopt;
      group = group << 6 | static_cast<uint32_t>(value);
    }
    size_t taken = N - written < 3 ? N - written : 3;
    if ((group & ((uint32_t{1} << (8 * (3 - taken))) - 1)) != 0)
      return std::nullopt;
    for (size_t k = 0; k < taken; ++k)
      bytes[written++] = static_cast<unsigned char>(group >> (16 - 8 * k));
  }
  return bytes;
}

}  // namespace vexo
