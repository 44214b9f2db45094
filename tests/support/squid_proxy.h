// A real squid on a loopback port (tests/support/squid_proxy.sh), in a folder of its own, stopped
// and removed with the object.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/program_runner.h"

namespace vexo::testing {

class SquidProxy {
 public:
  enum class Auth { kNone, kBasic, kDigest, kNtlm };

  // With kBasic or kDigest, only `user` with `password` gets through; with kNtlm, anyone who
  // completes the handshake.
  explicit SquidProxy(Auth auth = Auth::kNone, const std::string& user = {},
                      const std::string& password = {});
  ~SquidProxy();
  SquidProxy(const SquidProxy&) = delete;
  SquidProxy& operator=(const SquidProxy&) = delete;

  bool Started() const { return port_ != 0; }
  uint16_t Port() const { return port_; }
  // "127.0.0.1:<port>"
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  // One line per request: "<client> <result>/<status> <method> <URL> <user or ->".
  std::string AccessLog() const { return ReadFile(folder_.File("access.log")); }
  // The number of access-log lines holding every one of `parts`.
  size_t Count(std::initializer_list<std::string> parts) const;
  std::string Errors() const { return script_.Errors(); }

 private:
  TempFolder folder_;  // declared first: removed once squid has stopped
  BackgroundProgram script_;
  uint16_t port_ = 0;
};

}  // namespace vexo::testing
