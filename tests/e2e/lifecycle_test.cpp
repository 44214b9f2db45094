// The real agent program: one instance per session, resident until asked to close, exit codes.
#include <gtest/gtest.h>
#include <signal.h>

#include "agent_process.h"

namespace vexo::testing {
namespace {

using namespace std::chrono_literals;

TEST(AgentLifecycle, StaysResidentUntilAClosingSignalThenExitsWithOne) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    AgentEnvironment environment;
    AgentProcess agent(VEXO_AGENT_PROGRAM, environment);
    EXPECT_FALSE(agent.WaitForExit(1500ms).has_value()) << "the agent ended on its own";
    ASSERT_TRUE(agent.Signal(signal));
    EXPECT_EQ(agent.WaitForExit(10s), std::optional<int>(1));
  }
}

TEST(AgentLifecycle, SecondInstanceInTheSameSessionExitsWithZeroAndTouchesNothing) {
  AgentEnvironment environment;
  AgentProcess first(VEXO_AGENT_PROGRAM, environment);
  ASSERT_FALSE(first.WaitForExit(500ms).has_value());
  auto before = environment.Listing();

  AgentProcess second(VEXO_AGENT_PROGRAM, environment);
  EXPECT_EQ(second.WaitForExit(5s), std::optional<int>(0));
  EXPECT_EQ(environment.Listing(), before);

  EXPECT_FALSE(first.WaitForExit(0ms).has_value()) << "the first instance went away";
  first.Signal(SIGTERM);
  EXPECT_EQ(first.WaitForExit(10s), std::optional<int>(1));
}

TEST(AgentLifecycle, AnotherSessionRunsItsOwnInstance) {
  AgentEnvironment environment;
  environment.extraVariables["XDG_SESSION_ID"] = "1";
  AgentProcess first(VEXO_AGENT_PROGRAM, environment);
  ASSERT_FALSE(first.WaitForExit(300ms).has_value());
  environment.extraVariables["XDG_SESSION_ID"] = "2";
  AgentProcess second(VEXO_AGENT_PROGRAM, environment);
  EXPECT_FALSE(second.WaitForExit(1000ms).has_value()) << "a second session was refused";
  first.Signal(SIGTERM);
  second.Signal(SIGTERM);
  EXPECT_EQ(first.WaitForExit(10s), std::optional<int>(1));
  EXPECT_EQ(second.WaitForExit(10s), std::optional<int>(1));
}

TEST(AgentLifecycle, TheLockDiesWithAKilledInstance) {
  AgentEnvironment environment;
  {
    AgentProcess crashed(VEXO_AGENT_PROGRAM, environment);
    ASSERT_FALSE(crashed.WaitForExit(300ms).has_value());
    crashed.Signal(SIGKILL);
    ASSERT_TRUE(crashed.WaitForExit(5s).has_value());
  }
  AgentProcess next(VEXO_AGENT_PROGRAM, environment);
  EXPECT_FALSE(next.WaitForExit(1000ms).has_value()) << "a stale lock refused the next run";
  next.Signal(SIGTERM);
  EXPECT_EQ(next.WaitForExit(10s), std::optional<int>(1));
}

}  // namespace
}  // namespace vexo::testing
