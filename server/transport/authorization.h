// The secret a request presents in its Authorization header, read one way only: schemes without
// regard to case, blanks around the credential dropped, and every byte of it kept (a zero byte
// included, so that a longer secret never passes for a shorter one).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexo::server {

// The secret of an Authorization header's value: a bearer token, or the password of HTTP Basic
// authentication (any user name, RFC 7617); nullopt for another scheme or a malformed value.
std::optional<std::string> PresentedSecret(std::string_view header);

}  // namespace vexo::server
