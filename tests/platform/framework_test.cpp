// The framework over the real platform window: the loop's idle handlers and filters, and the
// frame's default handling that ends the loop with exit code 1 when a top-level frame goes.
#include "agent/framework/framework.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexo {
namespace {

class TestFrame : public CFrameWindowImpl<TestFrame>, public CMessageFilter, public CIdleHandler {
 public:
  bool ProcessWindowMessage(const platform::Message& message, intptr_t& result) {
    if (message.id == platform::kMsgCreate)
      log.push_back("create");
    if (message.id == platform::kMsgDestroy)
      log.push_back("destroy");
    if (message.id == platform::kMsgTimer) {
      log.push_back("timer " + std::to_string(message.wParam));
      KillTimer(message.wParam);
      if (message.wParam == 2)
        DestroyWindow();
      return true;
    }
    return ProcessFrameMessage(message, result);
  }
  bool PreTranslateMessage(const platform::Message& message) override {
    // Swallows timer 1 before it is dispatched.
    if (message.id == platform::kMsgTimer && message.wParam == 1) {
      log.push_back("filtered 1");
      return true;
    }
    return false;
  }
  bool OnIdle() override {
    ++idleCalls;
    if (destroyWhenIdle)
      DestroyWindow();
    return false;
  }
  void OnFinalMessage(platform::WindowHandle) override { log.push_back("final"); }

  std::vector<std::string> log;
  int idleCalls = 0;
  bool destroyWhenIdle = false;
};

TEST(Framework, DestroyingTheTopLevelFrameEndsTheLoopWithOne) {
  CMessageLoop loop;
  TestFrame frame;
  loop.AddIdleHandler(&frame);
  frame.destroyWhenIdle = true;
  ASSERT_NE(frame.CreateEx(nullptr), nullptr);
  EXPECT_EQ(loop.Run(), 1);
  EXPECT_EQ(frame.log, (std::vector<std::string>{"create", "destroy", "final"}));
  EXPECT_EQ(frame.m_hWnd, nullptr);
  EXPECT_GE(frame.idleCalls, 1);
}

TEST(Framework, FiltersSeeMessagesBeforeDispatch) {
  CMessageLoop loop;
  TestFrame frame;
  EXPECT_TRUE(loop.AddMessageFilter(&frame));
  EXPECT_FALSE(loop.AddMessageFilter(&frame));  // registered once only
  ASSERT_NE(frame.CreateEx(nullptr), nullptr);
  frame.SetTimer(1, 0);
  frame.SetTimer(2, 0);
  EXPECT_EQ(loop.Run(), 1);
  EXPECT_EQ(frame.log,
            (std::vector<std::string>{"create", "filtered 1", "timer 2", "destroy", "final"}));
  EXPECT_TRUE(loop.RemoveMessageFilter(&frame));
  EXPECT_FALSE(loop.RemoveMessageFilter(&frame));
}

TEST(Framework, ModuleKeepsOneLoopPerThread) {
  CAppModule module;
  CMessageLoop first;
  CMessageLoop second;
  module.Init(nullptr);
  EXPECT_EQ(module.GetMessageLoop(), nullptr);
  EXPECT_TRUE(module.AddMessageLoop(&first));
  EXPECT_FALSE(module.AddMessageLoop(&second));
  EXPECT_EQ(module.GetMessageLoop(), &first);
  EXPECT_TRUE(module.RemoveMessageLoop());
  EXPECT_EQ(module.GetMessageLoop(), nullptr);
  module.Term();
}

}  // namespace
}  // namespace vexo
