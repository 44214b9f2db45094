#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/machine_config.h"
#include "platform/posix/native_path.h"

namespace vexo::platform {
namespace {

// The first folder of $XDG_CONFIG_DIRS, or /etc/xdg.
std::string MachineConfigFolder() {
  const char* dirs = std::getenv("XDG_CONFIG_DIRS");
  std::string first =
      dirs != nullptr ? std::string(dirs).substr(0, std::string(dirs).find(':')) : "";
  return first.empty() || first[0] != '/' ? "/etc/xdg" : first;
}

bool IsPlainName(std::u16string_view name) {
  return !name.empty() && name != u"." && name != u".." &&
         name.find_first_of(u"/\\") == std::u16string_view::npos;
}

}  // namespace

std::optional<std::u16string> ReadMachineValue(std::u16string_view name) {
  if (!IsPlainName(name))
    return std::nullopt;
  std::ifstream file(MachineConfigFolder() + "/vexo/" + posix::NativePath(name), std::ios::binary);
  if (!file)
    return std::nullopt;
  // At most 4 bytes per UTF-16 unit pair, so a longer file cannot hold an acceptable value.
  constexpr size_t kMostBytes = kMachineValueCapacity * 3 + 1;
  std::string bytes(kMostBytes + 1, '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (file.bad())
    return std::nullopt;
  bytes.resize(static_cast<size_t>(file.gcount()));
  if (bytes.size() > kMostBytes)
    return std::nullopt;
  if (!bytes.empty() && bytes.back() == '\n')
    bytes.pop_back();

  std::u16string value;
  if (!posix::DecodeUtf8Strict(bytes, value))
    return std::nullopt;
  if (value.size() + 1 > kMachineValueCapacity)
    return std::nullopt;
  return value;
}

}  // namespace vexo::platform
