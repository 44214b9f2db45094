// The POSIX message queue on a fake clock: one-shot timers, the order of events, and close
// requests that wait for the running handler.
#include "platform/posix/event_loop.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace vexo::platform::posix {
namespace {

class FakeEventSource : public EventSource {
 public:
  int64_t NowMs() override { return now; }
  void Wait(int64_t timeoutMs) override {
    ++waits;
    ASSERT_GE(timeoutMs, 0) << "the loop waited without limit while the test expects an event";
    now += timeoutMs;
  }
  bool TakeCloseRequest() override { return std::exchange(closeRequested, false); }

  int64_t now = 1000;
  int waits = 0;
  bool closeRequested = false;
};

// Records what each window receives; an optional hook runs inside the handler.
class RecordingProcedure : public WindowProcedure {
 public:
  intptr_t WindowProc(const Message& message) override {
    std::string entry;
    switch (message.id) {
      case kMsgCreate:
        entry = "create";
        break;
      case kMsgDestroy:
        entry = "destroy";
        break;
      case kMsgClose:
        entry = "close";
        break;
      case kMsgTimer:
        entry = "timer " + std::to_string(message.wParam);
        break;
      default:
        entry = "other";
        break;
    }
    log.push_back(entry + "@" + std::to_string(source->now));
    if (hook)
      hook(message);
    if (message.id == kMsgCreate)
      return createResult;
    if (message.id == kMsgClose)
      loop->DestroyWindow(message.window);
    if (message.id == kMsgDestroy)
      loop->PostQuitMessage(1);
    return 0;
  }

  FakeEventSource* source = nullptr;
  EventLoop* loop = nullptr;
  std::vector<std::string> log;
  std::function<void(const Message&)> hook;
  intptr_t createResult = 0;
};

class EventLoopTest : public ::testing::Test {
 protected:
  EventLoopTest() {
    procedure.source = &source;
    procedure.loop = &loop;
  }

  // Runs the loop like the message loop does and returns the quit code.
  int RunUntilQuit(int maxMessages = 100) {
    Message message;
    for (int i = 0; i < maxMessages; ++i) {
      int got = loop.GetMessage(message);
      if (got == 0)
        return static_cast<int>(message.wParam);
      loop.Dispatch(message);
    }
    ADD_FAILURE() << "no quit message";
    return -1;
  }

  FakeEventSource source;
  EventLoop loop{source};
  RecordingProcedure procedure;
};

TEST_F(EventLoopTest, CreationReachesTheProcedureBeforeCreateReturns) {
  WindowHandle window = loop.CreateWindow({}, &procedure);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(procedure.log, (std::vector<std::string>{"create@1000"}));
}

TEST_F(EventLoopTest, CreationRefusedByTheProcedureFails) {
  procedure.createResult = -1;
  EXPECT_EQ(loop.CreateWindow({}, &procedure), nullptr);
  EXPECT_EQ(procedure.log.back(), "destroy@1000");
}

TEST_F(EventLoopTest, TimersFireOnceInDeadlineOrder) {
  WindowHandle window = loop.CreateWindow({}, &procedure);
  loop.SetTimer(window, 1357, 2000);
  loop.SetTimer(window, 1358, 500);
  loop.SetTimer(window, 1359, 2000);  // same deadline as 1357: arming order decides
  procedure.hook = [&](const Message& message) {
    if (message.id == kMsgTimer && message.wParam == 1359)
      loop.DestroyWindow(window);
  };
  EXPECT_EQ(RunUntilQuit(), 1);
  EXPECT_EQ(procedure.log,
            (std::vector<std::string>{"create@1000", "timer 1358@1500", "timer 1357@3000",
                                      "timer 1359@3000", "destroy@3000"}));
}

TEST_F(EventLoopTest, ShortDelaysAreRaisedToTheShortestTimer) {
  WindowHandle window = loop.CreateWindow({}, &procedure);
  loop.SetTimer(window, 7, 0);
  Message message;
  ASSERT_EQ(loop.GetMessage(message), 1);
  EXPECT_EQ(message.wParam, 7u);
  EXPECT_EQ(source.now, 1000 + EventLoop::kMinimumTimerDelayMs);
}

TEST_F(EventLoopTest, ReArmingRestartsAndKillingCancels) {
  WindowHandle window = loop.CreateWindow({}, &procedure);
  loop.SetTimer(window, 1, 100);
  loop.SetTimer(window, 2, 50);
  source.now += 40;
  loop.SetTimer(window, 1, 100);  // now due at 1140
  EXPECT_TRUE(loop.KillTimer(window, 2));
  EXPECT_FALSE(loop.KillTimer(window, 2));
  Message message;
  ASSERT_EQ(loop.GetMessage(message), 1);
  EXPECT_EQ(message.wParam, 1u);
  EXPECT_EQ(source.now, 1140);
  EXPECT_EQ(loop.ArmedTimerCount(), 0u);
}

TEST_F(EventLoopTest, CloseRequestDuringAHandlerWaitsForIt) {
  WindowHandle window = loop.CreateWindow({}, &procedure);
  loop.SetTimer(window, 1357, 2000);
  loop.SetTimer(window, 1358, 3000);
  procedure.hook = [&](const Message& message) {
    if (message.id == kMsgTimer && message.wParam == 1357) {
      source.closeRequested = true;  // arrives while the handler is busy
      procedure.log.push_back("handler end");
    }
  };
  EXPECT_EQ(RunUntilQuit(), 1);
  EXPECT_EQ(procedure.log, (std::vector<std::string>{"create@1000", "timer 1357@3000",
                                                     "handler end", "close@3000", "destroy@3000"}));
}

TEST_F(EventLoopTest, DestroyingAWindowDropsItsTimers) {
  WindowHandle window = loop.CreateWindow({}, &procedure);
  loop.SetTimer(window, 1, 100);
  loop.DestroyWindow(window);
  EXPECT_EQ(loop.ArmedTimerCount(), 0u);
  EXPECT_FALSE(loop.SetTimer(window, 1, 100));
  EXPECT_FALSE(loop.DestroyWindow(window));
}

TEST_F(EventLoopTest, PeekReportsWithoutRemovingOrWaiting) {
  WindowHandle window = loop.CreateWindow({}, &procedure);
  EXPECT_FALSE(loop.PeekMessage());
  loop.SetTimer(window, 1, 100);
  EXPECT_FALSE(loop.PeekMessage());
  source.now += 100;
  EXPECT_TRUE(loop.PeekMessage());
  EXPECT_TRUE(loop.PeekMessage());
  EXPECT_EQ(source.waits, 0);
}

TEST_F(EventLoopTest, QuitComesAfterPostedMessagesAndBeforeTimers) {
  WindowHandle window = loop.CreateWindow({}, &procedure);
  loop.SetTimer(window, 1, 10);
  source.now += 10;
  source.closeRequested = true;
  loop.PostQuitMessage(5);
  Message message;
  ASSERT_EQ(loop.GetMessage(message), 1);
  EXPECT_EQ(message.id, kMsgClose);
  ASSERT_EQ(loop.GetMessage(message), 0);
  EXPECT_EQ(message.wParam, 5u);
}

}  // namespace
}  // namespace vexo::platform::posix
