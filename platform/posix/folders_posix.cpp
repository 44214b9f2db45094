#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/folders.h"
#include "platform/posix/native_path.h"

namespace vexo::platform {
namespace {

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
    return home;
  const passwd* entry = getpwuid(getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

}  // namespace

char16_t PathSeparator() {
  return u'/';
}

std::u16string ApplicationDataFolder() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
    return posix::WidePath(data);
  }
  std::string home = HomeFolder();
  return home.empty() ? std::u16string() : posix::WidePath(home + "/.local/share");
}

PathKind GetPathKind(const std::u16string& path) {
  struct stat info = {};
  if (stat(posix::NativePath(path).c_str(), &info) != 0)
    return PathKind::kMissing;
  return S_ISDIR(info.st_mode) ? PathKind::kDirectory : PathKind::kFile;
}

CreateFolderResult CreateFolder(const std::u16string& path) {
  // The user's own data: readable by the user alone.
  if (mkdir(posix::NativePath(path).c_str(), 0700) == 0)
    return CreateFolderResult::kCreated;
  return errno == EEXIST ? CreateFolderResult::kAlreadyExists : CreateFolderResult::kFailed;
}

size_t PathRootLength(std::u16string_view path) {
  return !path.empty() && path[0] == u'/' ? 1 : 0;
}

}  // namespace vexo::platform
