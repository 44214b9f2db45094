// Who may read the statistics on the admin listener.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexo::server {

// The admin secret of a token file: its content without one trailing newline and the blanks
// around it, read like any secret (not when others may open the file, at most 4 KiB). Refused
// unless it holds at least 16 non-blank bytes and no control character: nullopt, with the fault
// in `error` (one line, never the secret).
std::optional<std::string> ReadAdminToken(const std::string& path, std::string& error);

// Compares a presented secret with the expected one in a time that depends on the presented
// length only, so that the time of a refusal tells nothing about how much of it matched.
bool SameSecret(std::string_view presented, std::string_view expected);

class AdminGate {
 public:
  // Without a token every request is admitted (a loopback-only listener).
  explicit AdminGate(std::optional<std::string> token) : token_(std::move(token)) {}

  // `credential`: the bearer token or HTTP Basic password the request presented, if any.
  bool Admits(const std::optional<std::string>& credential) const {
    return !token_ || (credential && SameSecret(*credential, *token_));
  }

 private:
  std::optional<std::string> token_;
};

}  // namespace vexo::server
