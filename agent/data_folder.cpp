#include "agent/data_folder.h"

#include "platform/folders.h"

namespace vexo {

bool CreateDirectoryPath(const std::u16string& path) {
  const char16_t separator = platform::PathSeparator();
  size_t root = platform::PathRootLength(path);
  if (root == 0)
    return false;
  // A path that is only its root names nothing to create: it is there or it is not.
  if (root == path.size())
    return platform::GetPathKind(path) == platform::PathKind::kDirectory;
  for (size_t end = path.find(separator, root); end != std::u16string::npos;
       end = path.find(separator, end + 1)) {
    std::u16string folder = path.substr(0, end);
    switch (platform::GetPathKind(folder)) {
      case platform::PathKind::kDirectory:
        continue;
      case platform::PathKind::kFile:
        return false;
      case platform::PathKind::kMissing:
        if (platform::CreateFolder(folder) == platform::CreateFolderResult::kFailed)
          return false;
        break;
    }
  }
  return true;
}

}  // namespace vexo
