// Folders and paths: the user's application-data folder, existence tests and folder creation.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vexo::platform {

// '\\' on Windows, '/' on POSIX.
char16_t PathSeparator();

// The user's application-data folder without a trailing separator ($XDG_DATA_HOME or
// ~/.local/share on POSIX); not created. Empty when it cannot be found.
std::u16string ApplicationDataFolder();

enum class PathKind { kMissing, kFile, kDirectory };
PathKind GetPathKind(const std::u16string& path);

enum class CreateFolderResult { kCreated, kAlreadyExists, kFailed };
CreateFolderResult CreateFolder(const std::u16string& path);

// Length of the root that `path` starts with, separator included where there is one: "C:" or
// "C:\" and "\\server\share\" on Windows, "/" on POSIX. 0 when the path starts with no root.
size_t PathRootLength(std::u16string_view path);

}  // namespace vexo::platform
