// The hidden top-level window, its timers and the thread's message queue. Windows' own message
// numbers are used on every platform; the POSIX backend delivers the same events from an event
// loop (one-shot timers on the monotonic clock, close requests from SIGTERM, SIGINT and SIGHUP).
#pragma once

#include <cstdint>

namespace vexo::platform {

using WindowHandle = void*;
using InstanceHandle = void*;

inline constexpr uint32_t kMsgCreate = 0x0001;
inline constexpr uint32_t kMsgDestroy = 0x0002;
inline constexpr uint32_t kMsgClose = 0x0010;
inline constexpr uint32_t kMsgQuit = 0x0012;
inline constexpr uint32_t kMsgTimer = 0x0113;

inline constexpr uint32_t kStyleChild = 0x40000000;
inline constexpr uint32_t kStylePopup = 0x80000000;

struct Message {
  WindowHandle window = nullptr;
  uint32_t id = 0;
  uintptr_t wParam = 0;  // timer id for kMsgTimer, exit code for kMsgQuit
  intptr_t lParam = 0;
};

// Receives every message sent or dispatched to a window, creation and destruction included.
class WindowProcedure {
 public:
  virtual intptr_t WindowProc(const Message& message) = 0;

 protected:
  ~WindowProcedure() = default;
};

struct WindowCreateParams {
  InstanceHandle instance = nullptr;
  const void* classKey = nullptr;  // address that names the window class ("ATL:%p" on Windows)
  uint32_t style = 0;
  uint32_t exStyle = 0;
  uint16_t iconResource = 0;  // icon group of the class's large and small icons; 0 for none
};

// Creates a top-level window with no parent at the default position and size. The creation
// message reaches `procedure` before this returns; a result of -1 from it fails the creation.
// Returns null when the window cannot be created.
WindowHandle CreateTopLevelWindow(const WindowCreateParams& params, WindowProcedure* procedure);
// Hides the window; it is never shown.
void HideWindow(WindowHandle window);
// Destroys the window: the destruction message reaches its procedure before this returns.
bool DestroyWindow(WindowHandle window);
uint32_t GetWindowStyle(WindowHandle window);
// The platform's default handling: a close request destroys the window; the rest yields 0.
intptr_t DefaultWindowProc(const Message& message);

// Arms timer `id` of `window` to fire once after `delayMs` (the platform's shortest delay for 0).
// Arming an armed timer restarts it.
bool SetTimer(WindowHandle window, uintptr_t id, uint32_t delayMs);
bool KillTimer(WindowHandle window, uintptr_t id);

void PostQuitMessage(int exitCode);
// True when a message is waiting; nothing is removed and nothing waits.
bool PeekMessage();
// Waits for the next message: > 0 for a message, 0 for the quit message (exit code in wParam),
// -1 when waiting failed.
int GetMessage(Message& message);
void TranslateAndDispatch(const Message& message);

}  // namespace vexo::platform
