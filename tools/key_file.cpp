#include "tools/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "agent/crypto/base64.h"

namespace vexo::tools {
namespace {

// More than a key line with its line end, so that longer files are seen as malformed.
constexpr size_t kLongestKeyFile = 128;

std::runtime_error KeyFileError(const std::string& path, const std::string& what) {
  return std::runtime_error("key file '" + path + "': " + what);
}

// Closes the descriptor when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0)
      close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

void CreateKeyFile(const std::string& path, const Ed25519Seed& seed) {
  // O_EXCL: an existing file, or a symbolic link in its place, is never written through.
  Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (file.get() < 0) {
    if (errno == EEXIST)
      throw KeyFileError(path, "exists; a key file is never overwritten");
    throw KeyFileError(path, std::strerror(errno));
  }
  // The umask may have taken bits away; the owner must still be able to read it.
  bool written = fchmod(file.get(), 0600) == 0 && WriteAll(file.get(), EncodeBase64(seed) + "\n") &&
                 fsync(file.get()) == 0 && close(file.Release()) == 0;
  if (!written) {
    std::string reason = std::strerror(errno);
    unlink(path.c_str());
    throw KeyFileError(path, "cannot be written: " + reason);
  }
}

Ed25519Seed ReadKeyFile(const std::string& path) {
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0)
    throw KeyFileError(path, std::strerror(errno));
  struct stat status {};
  if (fstat(file.get(), &status) != 0)
    throw KeyFileError(path, std::strerror(errno));
  if (!S_ISREG(status.st_mode))
    throw KeyFileError(path, "not a regular file");
  if ((status.st_mode & 077) != 0) {
    throw KeyFileError(path, "open to others (mode " + ModeText(status.st_mode) +
                                 "); only its owner may read it: chmod 600");
  }
  std::string content;
  char chunk[kLongestKeyFile + 1];
  ssize_t got = 0;
  while (content.size() <= kLongestKeyFile &&
         ((got = read(file.get(), chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR))) {
    if (got > 0)
      content.append(chunk, static_cast<size_t>(got));
  }
  if (got < 0)
    throw KeyFileError(path, std::strerror(errno));
  if (content.ends_with('\n'))
    content.pop_back();
  if (content.ends_with('\r'))
    content.pop_back();
  std::optional<Ed25519Seed> seed = DecodeBase64<32>(content);
  if (!seed)
    throw KeyFileError(path, "not a private key (one line: 32 bytes in base64)");
  return *seed;
}

}  // namespace vexo::tools
