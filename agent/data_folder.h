// Folder creation along a path, for the per-user data folder and the folders below it.
#pragma once

#include <string>

namespace vexo {

// Creates every folder named on `path` up to its last separator (the rest is a file name). The
// path must start with a root the platform accepts; false when it does not, when a part exists
// and is no folder, or when a folder cannot be created.
bool CreateDirectoryPath(const std::u16string& path);

}  // namespace vexo
