// The credentials a user saved in the Windows credential store for the proxy WinINet uses, for
// the proxies that ask for Basic or Digest (WinINet answers NTLM and Negotiate itself, with the
// logged-on user's credentials).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexo::platform::win32 {

// The entry of a WinINet proxy list ("host:port", "http=host:port;https=host:port", "http://…",
// entries apart by ';' or blanks) that a request of that scheme goes through, as "host:port" or
// "host"; absent when none applies.
std::optional<std::wstring> ProxyServerFor(std::wstring_view list, bool secure);

// The proxy list of an Internet handle opened with fixed or preconfigured settings; absent when
// it goes straight to the servers.
std::optional<std::wstring> ProxyListOf(void* internet);

struct ProxyCredentials {
  ProxyCredentials() = default;
  ProxyCredentials(const ProxyCredentials&) = delete;
  ProxyCredentials& operator=(const ProxyCredentials&) = delete;
  ~ProxyCredentials();  // wipes both texts
  std::wstring userName;
  std::wstring password;
};

// The generic credential saved under the proxy's "host:port", else under its "host" (as
// `cmdkey /generic:host:port /user:name /pass` saves it); false when there is none.
bool SavedProxyCredentials(const std::wstring& server, ProxyCredentials& credentials);

}  // namespace vexo::platform::win32
