#include <windows.h>

#include "platform/entry.h"

// The command line and the show command are not used: the agent takes no arguments and its window
// is always hidden.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  return vexo::AgentMain(instance);
}
