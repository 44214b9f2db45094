// The program's entry point lives in the backend (wWinMain on Windows, main on POSIX) and calls
// AgentMain, which the agent defines, with the module's instance handle.
#pragma once

#include "platform/window.h"

namespace vexo {

int AgentMain(platform::InstanceHandle instance);

}  // namespace vexo
