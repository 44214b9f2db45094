#include "server/common/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vexo::server {
namespace {

constexpr size_t kReadChunkBytes = 64 * 1024;

// Closes the descriptor when it goes out of scope.
class ScopedDescriptor {
 public:
  explicit ScopedDescriptor(int descriptor) : descriptor_(descriptor) {}
  ~ScopedDescriptor() {
    if (descriptor_ >= 0) {
      close(descriptor_);
    }
  }
  ScopedDescriptor(const ScopedDescriptor&) = delete;
  ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;
  int get() const { return descriptor_; }

 private:
  int descriptor_;
};

std::string KindOf(mode_t mode) {
  const char* kind = S_ISDIR(mode)                    ? "a folder"
                     : S_ISFIFO(mode)                 ? "a FIFO"
                     : S_ISSOCK(mode)                 ? "a socket"
                     : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                                                      : "something";
  return std::string(kind) + ", not a regular file";
}

// Why a file of `mode` is too open for `access`; empty when it is not.
std::string AccessFault(mode_t mode, FileAccess access) {
  mode_t forbidden = access == FileAccess::kOwnerOnly   ? 077
                     : access == FileAccess::kNotOthers ? 007
                                                        : 0;
  if ((mode & forbidden) == 0) {
    return {};
  }
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
  return std::string("open to others (mode ") + octal + "); only its owner" +
         (access == FileAccess::kOwnerOnly ? " may read it: chmod 600"
                                           : " and group may read it: chmod o-rwx");
}

}  // namespace

std::string SizeText(size_t bytes) {
  if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0) {
    return std::to_string(bytes / (1024 * 1024)) + " MiB";
  }
  if (bytes >= 1024 && bytes % 1024 == 0) {
    return std::to_string(bytes / 1024) + " KiB";
  }
  return std::to_string(bytes) + " bytes";
}

std::optional<std::string> NotRegularFileFault(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  return KindOf(status.st_mode);
}

std::optional<std::string> ReadUpTo(int descriptor, size_t limit, std::string& error) {
  std::string content;
  char chunk[kReadChunkBytes];
  while (true) {
    ssize_t got = read(descriptor, chunk, std::min(sizeof chunk, limit + 1 - content.size()));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      error = std::strerror(errno);
      return std::nullopt;
    }
    if (got == 0) {
      return content;
    }
    content.append(chunk, static_cast<size_t>(got));
    if (content.size() > limit) {
      error = "larger than " + SizeText(limit);
      return std::nullopt;
    }
  }
}

std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit, std::string& error,
                                         FileAccess access) {
  errno = 0;
  ScopedDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat status {};
  if (file.get() < 0 || fstat(file.get(), &status) != 0) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  if (!S_ISREG(status.st_mode)) {
    error = KindOf(status.st_mode);
    return std::nullopt;
  }
  if (error = AccessFault(status.st_mode, access); !error.empty()) {
    return std::nullopt;
  }
  if (static_cast<uint64_t>(status.st_size) > limit) {
    error = "larger than " + SizeText(limit);
    return std::nullopt;
  }
  return ReadUpTo(file.get(), limit, error);
}

}  // namespace vexo::server
