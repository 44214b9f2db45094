#include "server/admin/admin_access.h"

#include <algorithm>

#include "server/common/small_file.h"
#include "server/transport/request_head.h"

namespace vexo::server {
namespace {

constexpr size_t kLongestTokenFile = 4096;
// Fewer bytes would be guessed too soon: 16 random letters are over 90 bits.
constexpr size_t kShortestToken = 16;

bool IsControl(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

}  // namespace

std::optional<std::string> ReadAdminToken(const std::string& path, std::string& error) {
  std::string fault;
  std::optional<std::string> content =
      ReadSmallFile(path, kLongestTokenFile, fault, FileAccess::kNotOthers);
  if (!content) {
    error = "cannot read admin token file '" + path + "': " + fault;
    return std::nullopt;
  }
  std::string_view token = *content;
  if (token.ends_with('\n')) {
    token.remove_suffix(token.ends_with("\r\n") ? 2 : 1);
  }
  auto refuse = [&](const std::string& why) {
    error = "admin token file '" + path + "' " + why;
    return std::nullopt;
  };
  if (token.empty()) {
    return refuse("is empty");
  }
  // Read as a request presents it: without the blanks around it.
  token = TrimBlanks(token);
  if (std::any_of(token.begin(), token.end(), IsControl)) {
    return refuse("holds a control character: a token is one line of printable text");
  }
  if (static_cast<size_t>(std::count_if(token.begin(), token.end(),
                                        [](char c) { return c != ' '; })) < kShortestToken) {
    return refuse("holds fewer than " + std::to_string(kShortestToken) +
                  " non-blank bytes (head -c 32 /dev/urandom | base64 makes a token)");
  }
  return std::string(token);
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
