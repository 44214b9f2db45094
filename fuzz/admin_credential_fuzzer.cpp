// Any Authorization header value read as the admin listener reads it: the secret never has
// blanks around it, a bearer token is found in the header as sent, and the gate admits it only
// when it is the token itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "server/admin/admin_access.h"
#include "server/transport/authorization.h"
#include "server/transport/request_head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vexo::server;
  static const std::string kToken = "s3cret-0123456789";
  static const AdminGate kGate(kToken);
  std::string_view header(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> secret = PresentedSecret(header);
  if (!secret) {
    return 0;
  }
  bool bearer = SameWithoutCase(TrimBlanks(header).substr(0, 6), "bearer");
  if (TrimBlanks(*secret) != *secret || (bearer && header.find(*secret) == std::string::npos) ||
      kGate.Admits(secret) != (*secret == kToken)) {
    std::abort();
  }
  return 0;
}
