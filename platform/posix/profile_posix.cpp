#include <time.h>

#include <fstream>

#include "platform/posix/ini_file.h"
#include "platform/posix/native_path.h"
#include "platform/profile.h"

namespace vexo::platform {

int32_t GetPrivateProfileInt(std::u16string_view section, std::u16string_view key,
                             int32_t defaultValue, std::u16string_view path) {
  std::ifstream file(posix::NativePath(path), std::ios::binary);
  if (!file)
    return defaultValue;
  auto value = posix::FindIniValue(file, posix::NativePath(section), posix::NativePath(key));
  if (!value || value->empty())
    return defaultValue;
  return posix::ProfileInteger(*value);
}

LocalDate Today() {
  time_t now = time(nullptr);
  struct tm local = {};
  localtime_r(&now, &local);
  return LocalDate{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

}  // namespace vexo::platform
