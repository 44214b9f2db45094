#include "server/common/small_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace vexo::server {

std::optional<std::string> ReadFileUpTo(const std::string& path, size_t limit) {
  int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    return std::nullopt;
  }
  std::string content(limit + 1, '\0');
  size_t filled = 0;
  ssize_t got = 0;
  while (filled < content.size() &&
         (got = read(descriptor, content.data() + filled, content.size() - filled)) != 0) {
    if (got < 0 && errno != EINTR) {
      int readError = errno;
      close(descriptor);
      errno = readError;
      return std::nullopt;
    }
    filled += got > 0 ? static_cast<size_t>(got) : 0;
  }
  close(descriptor);
  content.resize(filled);
  return content;
}

}  // namespace vexo::server
