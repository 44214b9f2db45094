// The POSIX stand-in for the thread's window message queue: windows that receive their creation,
// destruction, timer and close messages, one-shot timers on a monotonic clock, and the quit
// message. Waiting goes through an EventSource, so tests run the loop on a fake clock.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "platform/window.h"

namespace vexo::platform::posix {

class EventSource {
 public:
  virtual ~EventSource() = default;
  // Monotonic time in milliseconds.
  virtual int64_t NowMs() = 0;
  // Blocks for at most `timeoutMs` (-1: without limit) or until a close request arrives.
  virtual void Wait(int64_t timeoutMs) = 0;
  // True once for each burst of close requests that arrived since the last call.
  virtual bool TakeCloseRequest() = 0;
};

// The monotonic clock, and close requests from SIGTERM, SIGINT and SIGHUP. The signal handler
// only writes a byte to a pipe; the request is taken up by the loop between two handlers.
class SystemEventSource final : public EventSource {
 public:
  SystemEventSource();
  int64_t NowMs() override;
  void Wait(int64_t timeoutMs) override;
  bool TakeCloseRequest() override;
};

class EventLoop {
 public:
  // Windows' shortest timer delay: shorter delays, 0 included, are raised to it.
  static constexpr uint32_t kMinimumTimerDelayMs = 10;

  explicit EventLoop(EventSource& source) : source_(source) {}

  WindowHandle CreateWindow(const WindowCreateParams& params, WindowProcedure* procedure);
  bool DestroyWindow(WindowHandle window);
  uint32_t GetStyle(WindowHandle window) const;
  bool SetTimer(WindowHandle window, uintptr_t id, uint32_t delayMs);
  bool KillTimer(WindowHandle window, uintptr_t id);
  void PostQuitMessage(int exitCode);
  bool PeekMessage();
  int GetMessage(Message& message);
  void Dispatch(const Message& message);

  // Number of timers armed, for the resident-idle checks.
  size_t ArmedTimerCount() const { return timers_.size(); }

 private:
  struct Window {
    WindowProcedure* procedure = nullptr;
    uint32_t style = 0;
    bool alive = true;
  };
  struct Timer {
    Window* window;
    uintptr_t id;
    int64_t deadline;
    uint64_t sequence;  // arming order breaks ties between equal deadlines
  };

  Window* Live(WindowHandle handle) const;
  void TakeCloseRequests();
  std::optional<Message> TakeDueTimer();
  int64_t MillisecondsToNextTimer();

  EventSource& source_;
  std::vector<std::unique_ptr<Window>> windows_;  // kept until the loop ends; handles stay unique
  std::vector<Timer> timers_;
  std::deque<Message> posted_;
  std::optional<int> quitCode_;
  uint64_t nextSequence_ = 0;
};

}  // namespace vexo::platform::posix
