#include "platform/posix/native_path.h"

#include <cstdint>

#include "platform/codepage.h"

namespace vexo::platform::posix {

std::string NativePath(std::u16string_view path) {
  std::string native;
  uint32_t error = 0;
  WideToNarrow(kCodePageUtf8, path, native, error);
  return native;
}

std::u16string WidePath(std::string_view path) {
  std::u16string wide;
  uint32_t error = 0;
  NarrowToWide(kCodePageUtf8, path, wide, error);
  return wide;
}

namespace {

// Length of the sequence a lead byte starts, and the smallest code point it may encode.
bool SequenceOf(unsigned char lead, size_t& length, uint32_t& minimum, uint32_t& value) {
  if (lead < 0x80) {
    length = 1, minimum = 0, value = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, value = lead & 0x1Fu;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, value = lead & 0x0Fu;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, value = lead & 0x07u;
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool DecodeUtf8Strict(std::string_view bytes, std::u16string& out) {
  out.clear();
  for (size_t i = 0; i < bytes.size();) {
    size_t length = 0;
    uint32_t minimum = 0;
    uint32_t value = 0;
    if (!SequenceOf(static_cast<unsigned char>(bytes[i]), length, minimum, value))
      return false;
    if (i + length > bytes.size())
      return false;
    for (size_t k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80)
        return false;
      value = value << 6 | (next & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
      return false;
    if (value >= 0x10000) {
      value -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(value));
    }
    i += length;
  }
  return true;
}

}  // namespace vexo::platform::posix
