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
#include "server/common/small_file.h"

namespace vexo::tools {
namespace {

// A key line with its line end is 45 or 46 bytes; a longer file is no key file.
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
  std::string fault;
  std::optional<std::string> content =
      server::ReadSmallFile(path, kLongestKeyFile, fault, server::FileAccess::kOwnerOnly);
  if (!content)
    throw KeyFileError(path, fault);
  std::string_view line = *content;
  if (line.ends_with('\n'))
    line.remove_suffix(1);
  if (line.ends_with('\r'))
    line.remove_suffix(1);
  std::optional<Ed25519Seed> seed = DecodeBase64<32>(line);
  if (!seed)
    throw KeyFileError(path, "not a private key (one line: 32 bytes in base64)");
  return *seed;
}

}  // namespace vexo::tools
