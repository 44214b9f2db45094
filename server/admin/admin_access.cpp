#include "server/admin/admin_access.h"

#include <cerrno>
#include <cstring>

#include "server/common/small_file.h"

namespace vexo::server {
namespace {

constexpr size_t kLongestTokenFile = 4096;

}  // namespace

std::optional<std::string> ReadAdminToken(const std::string& path, std::string& error) {
  std::optional<std::string> content = ReadFileUpTo(path, kLongestTokenFile);
  if (content && content->size() > kLongestTokenFile) {
    errno = EFBIG;  // longer than a secret can be
    content.reset();
  }
  if (!content) {
    error = "cannot read admin token file '" + path + "': " + std::strerror(errno);
    return std::nullopt;
  }
  std::string token = std::move(*content);
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
