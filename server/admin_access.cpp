#include "server/admin_access.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vexo::server {
namespace {

constexpr size_t kLongestTokenFile = 4096;

// False with errno set when the file cannot be read whole (or is longer than a secret can be).
bool ReadSmallFile(const std::string& path, std::string& content) {
  int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    return false;
  }
  char buffer[kLongestTokenFile + 1];
  size_t filled = 0;
  ssize_t got = 0;
  while (filled < sizeof buffer &&
         (got = read(descriptor, buffer + filled, sizeof buffer - filled)) > 0) {
    filled += static_cast<size_t>(got);
  }
  int readError = errno;
  close(descriptor);
  if (got < 0) {
    errno = readError;
    return false;
  }
  if (filled > kLongestTokenFile) {
    errno = EFBIG;
    return false;
  }
  content.assign(buffer, filled);
  return true;
}

}  // namespace

std::optional<std::string> ReadAdminToken(const std::string& path, std::string& error) {
  std::string token;
  if (!ReadSmallFile(path, token)) {
    error = "cannot read admin token file '" + path + "': " + std::strerror(errno);
    return std::nullopt;
  }
  if (token.ends_with('\n')) {
    token.pop_back();
    if (token.ends_with('\r')) {
      token.pop_back();
    }
  }
  if (token.empty()) {
    error = "admin token file '" + path + "' is empty";
    return std::nullopt;
  }
  return token;
}

bool SameSecret(std::string_view presented, std::string_view expected) {
  if (expected.empty()) {
    return false;
  }
  unsigned difference = presented.size() != expected.size();
  for (size_t i = 0; i < presented.size(); ++i) {
    difference |= static_cast<unsigned char>(presented[i] ^ expected[i % expected.size()]);
  }
  return difference == 0;
}

}  // namespace vexo::server
