// COM and common-controls initialisation around the run. No-ops where there is no COM.
#pragma once

#include <cstdint>

namespace vexo::platform {

inline constexpr uint32_t kCommonControlsBarClasses = 0x4;

void InitializeComApartment();
void UninitializeCom();
void InitializeCommonControls(uint32_t classes);

}  // namespace vexo::platform
