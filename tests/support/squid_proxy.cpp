#include "tests/support/squid_proxy.h"

#include <signal.h>

#include <sstream>
#include <vector>

namespace vexo::testing {
namespace {

std::vector<std::string> ArgumentsFor(const std::string& folder, SquidProxy::Auth auth,
                                      const std::string& user, const std::string& password) {
  switch (auth) {
    case SquidProxy::Auth::kNone:
      return {VEXO_SQUID_PROXY_SCRIPT, folder, "none"};
    case SquidProxy::Auth::kBasic:
      return {VEXO_SQUID_PROXY_SCRIPT, folder, "basic", user, password};
    case SquidProxy::Auth::kDigest:
      return {VEXO_SQUID_PROXY_SCRIPT, folder, "digest", user, password};
    case SquidProxy::Auth::kNtlm:
      return {VEXO_SQUID_PROXY_SCRIPT, folder, "ntlm"};
  }
  return {};
}

}  // namespace

SquidProxy::SquidProxy(Auth auth, const std::string& user, const std::string& password)
    : script_("/bin/bash", ArgumentsFor(folder_.path(), auth, user, password)) {
  std::string first = script_.FirstLine();
  port_ = static_cast<uint16_t>(std::atoi(first.c_str()));
}

SquidProxy::~SquidProxy() {
  script_.Signal(SIGTERM);
  script_.Wait();
}

size_t SquidProxy::Count(std::initializer_list<std::string> parts) const {
  std::istringstream lines(AccessLog());
  size_t count = 0;
  for (std::string line; std::getline(lines, line);) {
    bool all = true;
    for (const std::string& part : parts)
      all = all && line.find(part) != std::string::npos;
    count += all;
  }
  return count;
}

}  // namespace vexo::testing
