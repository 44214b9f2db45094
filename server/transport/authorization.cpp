#include "server/transport/authorization.h"

#include <algorithm>
#include <cstdint>

#include "agent/crypto/base64.h"
#include "server/transport/request_head.h"

namespace vexo::server {
namespace {

// The bytes of standard base64 with padding; nullopt for anything else.
std::optional<std::string> DecodeBase64Text(std::string_view text) {
  if (text.size() % 4 != 0) {
    return std::nullopt;
  }
  size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
  std::string bytes;
  uint32_t group = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    int value = i >= text.size() - padding ? 0 : Base64Value(text[i]);
    if (value < 0) {
      return std::nullopt;
    }
    group = group << 6 | static_cast<uint32_t>(value);
    if (i % 4 == 3) {
      bytes +=
          {static_cast<char>(group >> 16), static_cast<char>(group >> 8), static_cast<char>(group)};
      group = 0;
    }
  }
  bytes.resize(bytes.size() - padding);
  return bytes;
}

}  // namespace

std::optional<std::string> PresentedSecret(std::string_view header) {
  header = TrimBlanks(header);
  size_t blank = std::min(header.find(' '), header.find('\t'));
  if (blank == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view scheme = header.substr(0, blank);
  std::string_view credential = TrimBlanks(header.substr(blank));
  if (SameWithoutCase(scheme, "Bearer")) {
    return std::string(credential);
  }
  if (!SameWithoutCase(scheme, "Basic")) {
    return std::nullopt;
  }
  std::optional<std::string> userAndPassword = DecodeBase64Text(credential);
  size_t colon = userAndPassword ? userAndPassword->find(':') : std::string::npos;
  if (colon == std::string::npos) {
    return std::nullopt;
  }
  return std::string(TrimBlanks(std::string_view(*userAndPassword).substr(colon + 1)));
}

}  // namespace vexo::server
