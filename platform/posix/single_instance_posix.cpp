// The named mutex becomes an flock() on a file in the user's runtime folder. The lock dies with
// the process, so a crashed agent never blocks the next logon's.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/codepage.h"
#include "platform/single_instance.h"

namespace vexo::platform {
namespace {

bool IsPrivateFolder(const std::string& path) {
  struct stat info = {};
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
         (info.st_mode & 077) == 0;
}

// $XDG_RUNTIME_DIR, or a private per-user folder in /tmp; empty when neither is safe to use.
std::string LockFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/')
    return runtime;
  std::string fallback = "/tmp/vexo-" + std::to_string(getuid());
  mkdir(fallback.c_str(), 0700);
  return IsPrivateFolder(fallback) ? fallback : std::string();
}

std::string FileNameSafe(std::string text) {
  for (char& c : text) {
    if (c == '/' || c == '\0')
      c = '_';
  }
  return text;
}

// One lock per name and logon session, as the session namespace of a Windows mutex.
std::string LockPath(std::u16string_view name) {
  std::string folder = LockFolder();
  if (folder.empty())
    return {};
  std::string utf8;
  uint32_t error = 0;
  WideToNarrow(kCodePageUtf8, name, utf8, error);
  std::string path = folder + "/" + FileNameSafe(utf8);
  if (const char* session = std::getenv("XDG_SESSION_ID"); session != nullptr && *session) {
    path += "-session-" + FileNameSafe(session);
  }
  return path + ".lock";
}

constexpr intptr_t kHandleOffset = 1;  // fd 0 must not look like a null handle

int FdOf(void* handle) {
  return static_cast<int>(reinterpret_cast<intptr_t>(handle) - kHandleOffset);
}

}  // namespace

NamedMutex::NamedMutex(std::u16string_view name) {
  std::string path = LockPath(name);
  if (path.empty())
    return;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0)
    return;
  handle_ = reinterpret_cast<void*>(static_cast<intptr_t>(fd) + kHandleOffset);
  // Held by another process: like a mutex that exists already, the handle is valid but not owned.
  alreadyExisted_ = flock(fd, LOCK_EX | LOCK_NB) != 0;
}

NamedMutex::~NamedMutex() {
  Close();
}

void NamedMutex::Release() {
  if (handle_ != nullptr && !alreadyExisted_)
    flock(FdOf(handle_), LOCK_UN);
}

void NamedMutex::Close() {
  if (handle_ == nullptr)
    return;
  close(FdOf(handle_));
  handle_ = nullptr;
}

}  // namespace vexo::platform
