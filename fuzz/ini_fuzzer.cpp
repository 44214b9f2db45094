// The per-day pop-up file is written by another program: any bytes must read safely.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "platform/posix/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
  auto value =
      vexo::platform::posix::FindIniValue(input, "Msg", "2ce7276502725c281e6d5ae4e55aed55");
  if (value)
    vexo::platform::posix::ProfileInteger(*value);
  return 0;
}
