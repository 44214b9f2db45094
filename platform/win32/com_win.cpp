#include <windows.h>
// windows.h first: commctrl.h and objbase.h need its types.
#include <commctrl.h>
#include <objbase.h>

#include "platform/com.h"

namespace vexo::platform {
namespace {

// Successful initialisations on this thread; only those are undone, since uninitialising after a
// failed CoInitializeEx would take away another owner's initialisation.
thread_local int t_comInitializations = 0;

}  // namespace

void InitializeComApartment() {
  if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
    ++t_comInitializations;
}

void UninitializeCom() {
  if (t_comInitializations == 0)
    return;
  --t_comInitializations;
  CoUninitialize();
}

void InitializeCommonControls(uint32_t classes) {
  INITCOMMONCONTROLSEX init = {};
  init.dwSize = sizeof init;
  init.dwICC = classes;
  InitCommonControlsEx(&init);
}

}  // namespace vexo::platform
