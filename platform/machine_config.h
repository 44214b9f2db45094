// Machine-wide configuration values of the program, written by its installation: the registry
// key HKLM\Software\vexo\ on Windows (opened for reading only), files vexo/<name> under the first
// folder of $XDG_CONFIG_DIRS (default /etc/xdg) on POSIX.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vexo::platform {

// Longest value, in UTF-16 units with its terminator.
inline constexpr size_t kMachineValueCapacity = 1024;

// The string value `name`, taken as stored. Absent when the key or value is missing, unreadable,
// of another type, or longer than kMachineValueCapacity allows.
std::optional<std::u16string> ReadMachineValue(std::u16string_view name);

}  // namespace vexo::platform
