// Reads the fixed file-information block from the .vexo_version section of /proc/self/exe.
#include <elf.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "platform/module_version.h"

namespace vexo::platform {
namespace {

constexpr char kSectionName[] = ".vexo_version";
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr size_t kFixedInfoSize = 52;

template <class T>
bool ReadAt(std::ifstream& file, uint64_t offset, T* out, size_t count = 1) {
  file.seekg(static_cast<std::streamoff>(offset));
  file.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(sizeof(T) * count));
  return static_cast<bool>(file);
}

uint32_t LittleEndianWord(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

std::optional<FileVersion> ReadOwnFileVersion() {
  std::ifstream file("/proc/self/exe", std::ios::binary);
  Elf64_Ehdr header;
  if (!file || !ReadAt(file, 0, &header))
    return std::nullopt;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shstrndx >= header.e_shnum) {
    return std::nullopt;
  }
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  if (!ReadAt(file, header.e_shoff, sections.data(), sections.size()))
    return std::nullopt;
  const Elf64_Shdr& names = sections[header.e_shstrndx];

  for (const Elf64_Shdr& section : sections) {
    char name[sizeof kSectionName] = {};
    if (section.sh_name + sizeof name > names.sh_size)
      continue;
    if (!ReadAt(file, names.sh_offset + section.sh_name, name, sizeof name))
      return std::nullopt;
    if (std::memcmp(name, kSectionName, sizeof name) != 0)
      continue;
    if (section.sh_size < kFixedInfoSize)
      return std::nullopt;
    unsigned char block[kFixedInfoSize];
    if (!ReadAt(file, section.sh_offset, block, sizeof block))
      return std::nullopt;
    if (LittleEndianWord(block) != kFixedInfoSignature)
      return std::nullopt;
    return FileVersion{LittleEndianWord(block + 8), LittleEndianWord(block + 12)};
  }
  return std::nullopt;
}

}  // namespace vexo::platform
