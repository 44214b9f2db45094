#include "platform/com.h"

namespace vexo::platform {

// There is no COM and there are no common controls on POSIX desktops.
void InitializeComApartment() {}
void UninitializeCom() {}
void InitializeCommonControls(uint32_t) {}

}  // namespace vexo::platform
