// The file version in the running program's own version resource (on POSIX: the fixed
// file-information block in the program's .vexo_version section).
#pragma once

#include <cstdint>
#include <optional>

namespace vexo::platform {

struct FileVersion {
  uint32_t mostSignificant = 0;   // major << 16 | minor
  uint32_t leastSignificant = 0;  // build << 16 | revision
};

// Absent when the program carries no version resource or it cannot be read.
std::optional<FileVersion> ReadOwnFileVersion();

}  // namespace vexo::platform
