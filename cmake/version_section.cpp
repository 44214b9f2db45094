// The program's fixed file-information block, laid out as in a Windows version resource
// (thirteen little-endian 32-bit words), in the ELF section the agent reads its version from.
#include <array>
#include <cstdint>

namespace {

constexpr uint32_t kWords[13] = {
    0xFEEF04BD,                                       // signature
    0x00010000,                                       // structure version
    (VEXO_VERSION_MAJOR << 16) | VEXO_VERSION_MINOR,  // file version, most significant
    (VEXO_VERSION_PATCH << 16) | VEXO_VERSION_TWEAK,  // file version, least significant
    (VEXO_VERSION_MAJOR << 16) | VEXO_VERSION_MINOR,  // product version
    (VEXO_VERSION_PATCH << 16) | VEXO_VERSION_TWEAK,
    0x3F,        // flags mask
    0,           // flags
    0x00040004,  // VOS_NT_WINDOWS32
    1,           // VFT_APP
    0,
    0,
    0};  // subtype, date

constexpr std::array<unsigned char, 52> LittleEndian() {
  std::array<unsigned char, 52> bytes{};
  for (int word = 0; word < 13; ++word) {
    for (int byte = 0; byte < 4; ++byte) {
      bytes[word * 4 + byte] = static_cast<unsigned char>(kWords[word] >> (8 * byte));
    }
  }
  return bytes;
}

}  // namespace

extern "C" __attribute__((section(".vexo_version"), used)) const std::array<unsigned char, 52>
    vexo_fixed_file_info = LittleEndian();
