#include "platform/posix/event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vexo::platform::posix {
namespace {

int g_closePipe[2] = {-1, -1};

extern "C" void OnCloseSignal(int) {
  int savedErrno = errno;
  char byte = 1;
  // A full pipe already holds a pending request; the write may then fail harmlessly.
  [[maybe_unused]] ssize_t written = write(g_closePipe[1], &byte, 1);
  errno = savedErrno;
}

void InstallCloseSignals() {
  if (g_closePipe[0] >= 0)
    return;
  if (pipe2(g_closePipe, O_CLOEXEC | O_NONBLOCK) != 0)
    return;
  struct sigaction action = {};
  action.sa_handler = OnCloseSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP})
    sigaction(signal, &action, nullptr);
}

}  // namespace

SystemEventSource::SystemEventSource() {
  InstallCloseSignals();
}

int64_t SystemEventSource::NowMs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SystemEventSource::Wait(int64_t timeoutMs) {
  pollfd fd = {g_closePipe[0], POLLIN, 0};
  int timeout = timeoutMs < 0 ? -1 : static_cast<int>(std::min<int64_t>(timeoutMs, INT32_MAX));
  // An interrupted wait returns: the caller looks at its clock and its requests again.
  poll(&fd, g_closePipe[0] >= 0 ? 1 : 0, timeout);
}

bool SystemEventSource::TakeCloseRequest() {
  bool requested = false;
  char buffer[64];
  while (g_closePipe[0] >= 0 && read(g_closePipe[0], buffer, sizeof buffer) > 0)
    requested = true;
  return requested;
}

EventLoop::Window* EventLoop::Live(WindowHandle handle) const {
  for (const auto& window : windows_) {
    if (window.get() == handle)
      return window->alive ? window.get() : nullptr;
  }
  return nullptr;
}

WindowHandle EventLoop::CreateWindow(const WindowCreateParams& params, WindowProcedure* procedure) {
  if (procedure == nullptr)
    return nullptr;
  windows_.push_back(std::make_unique<Window>(Window{procedure, params.style, true}));
  Window* window = windows_.back().get();
  if (procedure->WindowProc(Message{window, kMsgCreate, 0, 0}) == -1) {
    DestroyWindow(window);
    return nullptr;
  }
  return window;
}

bool EventLoop::DestroyWindow(WindowHandle handle) {
  Window* window = Live(handle);
  if (window == nullptr)
    return false;
  std::erase_if(timers_, [&](const Timer& timer) { return timer.window == window; });
  window->procedure->WindowProc(Message{window, kMsgDestroy, 0, 0});
  window->alive = false;
  return true;
}

uint32_t EventLoop::GetStyle(WindowHandle handle) const {
  Window* window = Live(handle);
  return window != nullptr ? window->style : 0;
}

bool EventLoop::SetTimer(WindowHandle handle, uintptr_t id, uint32_t delayMs) {
  Window* window = Live(handle);
  if (window == nullptr)
    return false;
  KillTimer(handle, id);
  int64_t delay = std::max(delayMs, kMinimumTimerDelayMs);
  timers_.push_back(Timer{window, id, source_.NowMs() + delay, nextSequence_++});
  return true;
}

bool EventLoop::KillTimer(WindowHandle handle, uintptr_t id) {
  return std::erase_if(timers_, [&](const Timer& timer) {
           return timer.window == handle && timer.id == id;
         }) > 0;
}

void EventLoop::PostQuitMessage(int exitCode) {
  quitCode_ = exitCode;
}

void EventLoop::TakeCloseRequests() {
  if (!source_.TakeCloseRequest())
    return;
  // A close request goes to the top-level window, as the window manager's would.
  for (const auto& window : windows_) {
    if (window->alive) {
      posted_.push_back(Message{window.get(), kMsgClose, 0, 0});
      return;
    }
  }
}

std::optional<Message> EventLoop::TakeDueTimer() {
  int64_t now = source_.NowMs();
  auto due = timers_.end();
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->deadline > now)
      continue;
    if (due == timers_.end() || it->deadline < due->deadline ||
        (it->deadline == due->deadline && it->sequence < due->sequence)) {
      due = it;
    }
  }
  if (due == timers_.end())
    return std::nullopt;
  Message message{due->window, kMsgTimer, due->id, 0};
  timers_.erase(due);  // one-shot
  return message;
}

int64_t EventLoop::MillisecondsToNextTimer() {
  if (timers_.empty())
    return -1;
  int64_t next =
      std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
        return a.deadline < b.deadline;
      })->deadline;
  return std::max<int64_t>(0, next - source_.NowMs());
}

bool EventLoop::PeekMessage() {
  TakeCloseRequests();
  if (!posted_.empty() || quitCode_)
    return true;
  int64_t now = source_.NowMs();
  return std::any_of(timers_.begin(), timers_.end(),
                     [&](const Timer& timer) { return timer.deadline <= now; });
}

int EventLoop::GetMessage(Message& message) {
  for (;;) {
    TakeCloseRequests();
    if (!posted_.empty()) {
      message = posted_.front();
      posted_.pop_front();
      return 1;
    }
    if (quitCode_) {
      message = Message{nullptr, kMsgQuit, static_cast<uintptr_t>(*quitCode_), 0};
      quitCode_.reset();
      return 0;
    }
    // Timer messages come last, only when nothing else is waiting, as on Windows.
    if (auto timer = TakeDueTimer()) {
      message = *timer;
      return 1;
    }
    source_.Wait(MillisecondsToNextTimer());
  }
}

void EventLoop::Dispatch(const Message& message) {
  Window* window = Live(message.window);
  if (window != nullptr)
    window->procedure->WindowProc(message);
}

}  // namespace vexo::platform::posix
