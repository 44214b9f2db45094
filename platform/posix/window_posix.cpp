#include "platform/posix/event_loop.h"
#include "platform/window.h"

namespace vexo::platform {
namespace {

posix::EventLoop& ThreadLoop() {
  thread_local posix::SystemEventSource source;
  thread_local posix::EventLoop loop(source);
  return loop;
}

}  // namespace

WindowHandle CreateTopLevelWindow(const WindowCreateParams& params, WindowProcedure* procedure) {
  return ThreadLoop().CreateWindow(params, procedure);
}

// A window nobody sees needs no hiding.
void HideWindow(WindowHandle) {}

bool DestroyWindow(WindowHandle window) {
  return ThreadLoop().DestroyWindow(window);
}

uint32_t GetWindowStyle(WindowHandle window) {
  return ThreadLoop().GetStyle(window);
}

intptr_t DefaultWindowProc(const Message& message) {
  if (message.id == kMsgClose)
    DestroyWindow(message.window);
  return 0;
}

bool SetTimer(WindowHandle window, uintptr_t id, uint32_t delayMs) {
  return ThreadLoop().SetTimer(window, id, delayMs);
}

bool KillTimer(WindowHandle window, uintptr_t id) {
  return ThreadLoop().KillTimer(window, id);
}

void PostQuitMessage(int exitCode) {
  ThreadLoop().PostQuitMessage(exitCode);
}

bool PeekMessage() {
  return ThreadLoop().PeekMessage();
}

int GetMessage(Message& message) {
  return ThreadLoop().GetMessage(message);
}

void TranslateAndDispatch(const Message& message) {
  ThreadLoop().Dispatch(message);
}

}  // namespace vexo::platform
