#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>

#include "platform/desktop_ui.h"
#include "platform/win32/wide_text_win.h"

namespace vexo::platform {

bool AskYesNo(WindowHandle owner, std::u16string_view text, std::u16string_view caption) {
  // MB_YESNO alone: no icon, and the first button (Yes) is the default.
  return MessageBoxW(static_cast<HWND>(owner), win32::ToWide(text).c_str(),
                     win32::ToWide(caption).c_str(), MB_YESNO) == IDYES;
}

void ShellOpen(std::u16string_view file, std::u16string_view parameters) {
  // The result is not looked at: the agent neither waits for the program nor reports failures.
  ShellExecuteW(nullptr, L"open", win32::ToWide(file).c_str(), win32::ToWide(parameters).c_str(),
                nullptr, SW_SHOWNORMAL);
}

}  // namespace vexo::platform
