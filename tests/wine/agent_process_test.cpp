// The real vexo-agent.exe, started from its folder (the test's working directory): it stays
// resident with a hidden window, a second instance in the same session leaves at once with exit
// code 0, and a close request to the hidden window ends it with exit code 1.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr DWORD kStartTimeoutMs = 30000;
constexpr DWORD kExitTimeoutMs = 30000;
constexpr DWORD kPollMs = 50;

std::wstring AgentPath() {
  wchar_t path[MAX_PATH] = {};
  GetFullPathNameW(L"vexo-agent.exe", MAX_PATH, path, nullptr);
  return path;
}

// One started agent; one still running when the test ends is terminated.
std::wstring ClassNameOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

class AgentProcess {
 public:
  AgentProcess() {
    std::wstring path = AgentPath();
    std::wstring commandLine = L"\"" + path + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    started_ = CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &info_) != 0;
    if (started_)
      CloseHandle(info_.hThread);
  }
  ~AgentProcess() {
    if (!started_)
      return;
    if (IsRunning()) {
      TerminateProcess(info_.hProcess, 99);
      WaitForSingleObject(info_.hProcess, kExitTimeoutMs);
    }
    CloseHandle(info_.hProcess);
  }
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  bool Started() const { return started_; }
  bool IsRunning() const { return WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }
  bool StillRunningAfter(DWORD ms) const {
    return WaitForSingleObject(info_.hProcess, ms) == WAIT_TIMEOUT;
  }
  bool WaitForExit() const {
    return WaitForSingleObject(info_.hProcess, kExitTimeoutMs) == WAIT_OBJECT_0;
  }
  DWORD ExitCode() const {
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(info_.hProcess, &code);
    return code;
  }

  // The process's top-level window, found by process since its class name is generated. Null when
  // none appeared in time or the process ended first.
  HWND WaitForWindow() const {
    for (DWORD waited = 0; waited < kStartTimeoutMs; waited += kPollMs) {
      if (HWND window = FindWindowOf(info_.dwProcessId))
        return window;
      if (!IsRunning())
        return nullptr;
      Sleep(kPollMs);
    }
    return nullptr;
  }

 private:
  static HWND FindWindowOf(DWORD processId) {
    struct Search {
      DWORD processId;
      HWND found;
    } search{processId, nullptr};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
          auto* s = reinterpret_cast<Search*>(param);
          DWORD owner = 0;
          GetWindowThreadProcessId(window, &owner);
          // Wine gives each GUI thread a hidden "Default IME" window too; it is not the agent's.
          if (owner != s->processId || ClassNameOf(window) == L"IME")
            return TRUE;
          s->found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  PROCESS_INFORMATION info_ = {};
  bool started_ = false;
};

TEST(AgentProcess, StaysResidentHiddenUntilClosedThenExitsWithOne) {
  AgentProcess agent;
  ASSERT_TRUE(agent.Started()) << "cannot start vexo-agent.exe: " << GetLastError();
  HWND window = agent.WaitForWindow();
  ASSERT_NE(window, nullptr) << "the agent showed no window; exit code " << agent.ExitCode();

  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(GetWindowLongPtrW(window, GWL_STYLE), 0x06CF0000);
  EXPECT_EQ(GetWindowLongPtrW(window, GWL_EXSTYLE) & 0x00040100, 0x00040100);
  EXPECT_EQ(GetWindowTextLengthW(window), 0);
  EXPECT_EQ(ClassNameOf(window).rfind(L"ATL:", 0), 0u);

  // Past its first timer (two seconds after creation) it is still there, idle.
  EXPECT_TRUE(agent.StillRunningAfter(3000));

  ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  ASSERT_TRUE(agent.WaitForExit());
  EXPECT_EQ(agent.ExitCode(), 1u);
}

TEST(AgentProcess, SecondInstanceLeavesAtOnceWithZero) {
  AgentProcess first;
  ASSERT_TRUE(first.Started());
  HWND window = first.WaitForWindow();
  ASSERT_NE(window, nullptr) << "the first agent showed no window; exit code " << first.ExitCode();

  AgentProcess second;
  ASSERT_TRUE(second.Started());
  ASSERT_TRUE(second.WaitForExit()) << "the second instance kept running";
  EXPECT_EQ(second.ExitCode(), 0u);
  EXPECT_TRUE(first.IsRunning());

  ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  ASSERT_TRUE(first.WaitForExit());
  EXPECT_EQ(first.ExitCode(), 1u);
}

}  // namespace
