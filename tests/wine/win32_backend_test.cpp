// The Win32 backend over the real API: the hidden window and the messages its procedure receives,
// timers that fire once, the thread's message queue, the named mutex, and the ANSI code pages.
#include <windows.h>

// windows.h maps these names to their wide variants; the services keep theirs.
#undef GetMessage
#undef PeekMessage

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage.h"
#include "platform/single_instance.h"
#include "platform/win32/proxy_credentials_win.h"
#include "platform/window.h"

namespace vexo::platform {
namespace {

constexpr uint32_t kFrameStyle = 0x06CF0000;
constexpr uint32_t kFrameExStyle = 0x00040100;

// Records what the procedure receives; destroying the window ends the loop as a frame's would.
class Recorder : public WindowProcedure {
 public:
  intptr_t WindowProc(const Message& message) override {
    ids.push_back(message.id);
    switch (message.id) {
      case kMsgCreate:
        createdWindow = message.window;
        return createResult;
      case kMsgTimer:
        timers.push_back(message.wParam);
        return 0;
      case kMsgDestroy:
        PostQuitMessage(1);
        return 0;
      default:
        return DefaultWindowProc(message);
    }
  }

  bool Received(uint32_t id) const { return std::find(ids.begin(), ids.end(), id) != ids.end(); }

  std::vector<uint32_t> ids;
  std::vector<uintptr_t> timers;
  WindowHandle createdWindow = nullptr;
  intptr_t createResult = 0;
};

// Class descriptions: their addresses name the window classes.
struct ClassDescription {
  int unused;
};
const ClassDescription kFrameClass{0};
const ClassDescription kOtherClass{0};

WindowCreateParams FrameParams(const void* classKey = &kFrameClass) {
  WindowCreateParams params;
  params.classKey = classKey;
  params.style = kFrameStyle;
  params.exStyle = kFrameExStyle;
  params.iconResource = 128;  // the program has no such icon group: the class gets no icons
  return params;
}

std::wstring ClassNameOf(WindowHandle window) {
  wchar_t name[256] = {};
  GetClassNameW(static_cast<HWND>(window), name, 256);
  return name;
}

std::wstring ExpectedClassName(const void* classKey) {
  char text[64];
  std::snprintf(text, sizeof text, "ATL:%016llX",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(classKey)));
  return std::wstring(text, text + std::char_traits<char>::length(text));
}

// Runs the loop as the framework does until the quit message; returns its code.
int RunUntilQuit() {
  Message message;
  for (;;) {
    int got = GetMessage(message);
    if (got == 0)
      return static_cast<int>(message.wParam);
    if (got > 0)
      TranslateAndDispatch(message);
  }
}

TEST(Win32Window, HiddenFrameWithItsStylesAndGeneratedClass) {
  Recorder recorder;
  WindowHandle window = CreateTopLevelWindow(FrameParams(), &recorder);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(recorder.createdWindow, window) << "creation reaches the procedure before returning";
  HideWindow(window);

  auto hwnd = static_cast<HWND>(window);
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_EQ(GetWindowStyle(window), kFrameStyle);
  EXPECT_EQ(static_cast<uint32_t>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE)) & kFrameExStyle,
            kFrameExStyle);
  EXPECT_EQ(GetParent(hwnd), nullptr);
  EXPECT_EQ(GetMenu(hwnd), nullptr);
  EXPECT_EQ(GetWindowTextLengthW(hwnd), 0);
  EXPECT_EQ(ClassNameOf(window), ExpectedClassName(&kFrameClass));

  // The class is registered once and reused; another description gets its own class.
  Recorder second;
  Recorder other;
  WindowHandle sameClass = CreateTopLevelWindow(FrameParams(), &second);
  WindowHandle otherClass = CreateTopLevelWindow(FrameParams(&kOtherClass), &other);
  ASSERT_NE(sameClass, nullptr);
  ASSERT_NE(otherClass, nullptr);
  EXPECT_EQ(ClassNameOf(sameClass), ClassNameOf(window));
  EXPECT_EQ(ClassNameOf(otherClass), ExpectedClassName(&kOtherClass));

  for (WindowHandle each : {window, sameClass, otherClass})
    EXPECT_TRUE(DestroyWindow(each));
  EXPECT_FALSE(DestroyWindow(window)) << "a destroyed window cannot be destroyed again";
  EXPECT_EQ(RunUntilQuit(), 1);
}

TEST(Win32Window, ProcedureSeesTheWindowFromCreationToDestruction) {
  Recorder recorder;
  WindowHandle window = CreateTopLevelWindow(FrameParams(), &recorder);
  ASSERT_NE(window, nullptr);
  ASSERT_FALSE(recorder.ids.empty());
  EXPECT_EQ(recorder.ids.front(), static_cast<uint32_t>(WM_NCCREATE));
  EXPECT_TRUE(recorder.Received(kMsgCreate));

  ASSERT_TRUE(DestroyWindow(window));
  EXPECT_EQ(recorder.ids.back(), kMsgDestroy) << "nothing reaches the procedure after destruction";
  EXPECT_FALSE(IsWindow(static_cast<HWND>(window)));
  EXPECT_EQ(RunUntilQuit(), 1);
}

TEST(Win32Window, CreationRefusedByTheProcedureFails) {
  Recorder recorder;
  recorder.createResult = -1;
  EXPECT_EQ(CreateTopLevelWindow(FrameParams(), &recorder), nullptr);
  EXPECT_TRUE(recorder.Received(kMsgCreate));
  EXPECT_EQ(recorder.ids.back(), kMsgDestroy);
  EXPECT_EQ(RunUntilQuit(), 1);  // the destruction posted it; nothing else is left behind
}

TEST(Win32Window, CloseRequestDestroysTheWindowThroughTheDefaultHandling) {
  Recorder recorder;
  WindowHandle window = CreateTopLevelWindow(FrameParams(), &recorder);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(PostMessageW(static_cast<HWND>(window), WM_CLOSE, 0, 0));
  EXPECT_EQ(RunUntilQuit(), 1);
  EXPECT_TRUE(recorder.Received(kMsgClose));
  EXPECT_EQ(recorder.ids.back(), kMsgDestroy);
  EXPECT_FALSE(IsWindow(static_cast<HWND>(window)));
}

TEST(Win32Timer, TimersFireOnceWhoeverTakesTheMessage) {
  Recorder recorder;
  WindowHandle window = CreateTopLevelWindow(FrameParams(), &recorder);
  ASSERT_NE(window, nullptr);
  auto hwnd = static_cast<HWND>(window);

  // Taken by the service's loop, even when a message filter keeps it from being dispatched.
  ASSERT_TRUE(SetTimer(window, 1357, 0));
  Message message;
  ASSERT_EQ(GetMessage(message), 1);
  EXPECT_EQ(message.id, kMsgTimer);
  EXPECT_EQ(message.wParam, 1357u);
  EXPECT_FALSE(KillTimer(window, 1357)) << "the timer ended when its message was taken";

  // Taken and dispatched by another loop, as a message box's loop would.
  ASSERT_TRUE(SetTimer(window, 1358, 0));
  MSG msg;
  ASSERT_GT(GetMessageW(&msg, nullptr, 0, 0), 0);
  ASSERT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
  DispatchMessageW(&msg);
  EXPECT_EQ(recorder.timers, (std::vector<uintptr_t>{1358}));
  EXPECT_FALSE(::KillTimer(hwnd, 1358)) << "the timer ended when its message was dispatched";

  // An armed timer can be stopped before it fires.
  ASSERT_TRUE(SetTimer(window, 1359, 60000));
  EXPECT_TRUE(KillTimer(window, 1359));
  EXPECT_FALSE(KillTimer(window, 1359));

  ASSERT_TRUE(DestroyWindow(window));
  EXPECT_EQ(RunUntilQuit(), 1);
}

TEST(Win32MessageQueue, PeekLeavesTheMessageAndQuitCarriesItsCode) {
  Recorder recorder;
  WindowHandle window = CreateTopLevelWindow(FrameParams(), &recorder);
  ASSERT_NE(window, nullptr);
  constexpr UINT kPing = WM_APP + 1;
  ASSERT_TRUE(PostMessageW(static_cast<HWND>(window), kPing, 5, 6));
  EXPECT_TRUE(PeekMessage());
  EXPECT_TRUE(PeekMessage());
  Message message;
  ASSERT_EQ(GetMessage(message), 1);
  EXPECT_EQ(message.window, window);
  EXPECT_EQ(message.id, kPing);
  EXPECT_EQ(message.wParam, 5u);
  EXPECT_EQ(message.lParam, 6);
  TranslateAndDispatch(message);
  EXPECT_EQ(recorder.ids.back(), kPing);

  PostQuitMessage(7);
  EXPECT_TRUE(PeekMessage());
  ASSERT_EQ(GetMessage(message), 0);
  EXPECT_EQ(message.wParam, 7u);

  ASSERT_TRUE(DestroyWindow(window));
  EXPECT_EQ(RunUntilQuit(), 1);
}

// Ownership of a Windows mutex belongs to a thread, so it is probed from another one.
DWORD ProbeFromAnotherThread(const std::wstring& name) {
  DWORD result = WAIT_FAILED;
  std::thread probe([&] {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex == nullptr)
      return;
    result = WaitForSingleObject(mutex, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
      ReleaseMutex(mutex);
    CloseHandle(mutex);
  });
  probe.join();
  return result;
}

TEST(Win32NamedMutex, FirstCreatorOwnsItAndOthersSeeItExists) {
  std::u16string name = u"VexoBackendTest-";
  for (char digit : std::to_string(GetCurrentProcessId()))
    name += static_cast<char16_t>(digit);
  std::wstring wideName(name.begin(), name.end());
  {
    NamedMutex first(name);
    ASSERT_TRUE(first.IsValid());
    EXPECT_FALSE(first.AlreadyExisted());
    EXPECT_EQ(ProbeFromAnotherThread(wideName), static_cast<DWORD>(WAIT_TIMEOUT));

    NamedMutex second(name);
    ASSERT_TRUE(second.IsValid());
    EXPECT_TRUE(second.AlreadyExisted());
    // Ownership is the thread's, not the handle's: the second must not give up the first's.
    second.Release();
    second.Close();
    EXPECT_FALSE(second.IsValid());
    EXPECT_EQ(ProbeFromAnotherThread(wideName), static_cast<DWORD>(WAIT_TIMEOUT));

    first.Release();
    EXPECT_EQ(ProbeFromAnotherThread(wideName), static_cast<DWORD>(WAIT_OBJECT_0));
  }
  NamedMutex again(name);
  EXPECT_FALSE(again.AlreadyExisted()) << "closing every handle ends the mutex";
}

TEST(Win32CodePage, AnsiCodePagesAreTheSystemOne) {
  const uint32_t systemAnsi = GetACP();
  std::u16string wide = u"a\u00e9\u20ac\u53d1";
  std::string bytes;
  for (int byte = 1; byte < 256; ++byte)
    bytes += static_cast<char>(byte);
  uint32_t error = 0;
  std::string expectedNarrow;
  std::u16string expectedWide;
  ASSERT_TRUE(WideToNarrow(systemAnsi, wide, expectedNarrow, error));
  ASSERT_TRUE(NarrowToWide(systemAnsi, bytes, expectedWide, error));
  for (uint32_t codePage : {kCodePageAnsi, kCodePageThreadAnsi}) {
    SCOPED_TRACE(codePage);
    std::string narrow;
    std::u16string back;
    ASSERT_TRUE(WideToNarrow(codePage, wide, narrow, error));
    EXPECT_EQ(narrow, expectedNarrow);
    ASSERT_TRUE(NarrowToWide(codePage, bytes, back, error));
    EXPECT_EQ(back, expectedWide);
  }
}

TEST(Win32CodePage, SupplementaryCharacters) {
  struct Case {
    const char* name;
    uint32_t codePage;
    std::u16string wide;
    std::string narrow;
  };
  const Case cases[] = {
      {"lacking double-byte code page", 936, u"a\U0001F600b", "a?b"},
      {"two in a row", 1252, u"\U0001F600\U0001F601", "??"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string narrow = "poison";
    uint32_t error = 0;
    ASSERT_TRUE(WideToNarrow(c.codePage, c.wide, narrow, error));
    EXPECT_EQ(narrow, c.narrow);
  }
}

TEST(Win32CodePage, EmptyTextStillNeedsAKnownCodePage) {
  std::string narrow = "poison";
  std::u16string wide = u"poison";
  uint32_t error = 0;
  EXPECT_TRUE(WideToNarrow(936, u"", narrow, error));
  EXPECT_TRUE(narrow.empty());
  EXPECT_TRUE(NarrowToWide(kCodePageUtf8, "", wide, error));
  EXPECT_TRUE(wide.empty());
  EXPECT_FALSE(WideToNarrow(12345, u"", narrow, error));
  EXPECT_EQ(error, kErrorInvalidParameter);
  error = 0;
  EXPECT_FALSE(NarrowToWide(12345, "", wide, error));
  EXPECT_EQ(error, kErrorInvalidParameter);
}

// The proxy whose saved credentials answer a 407, from the proxy list WinINet reports.
TEST(Win32ProxyServer, EntryForTheRequestsScheme) {
  const struct {
    const wchar_t* list;
    bool secure;
    std::optional<std::wstring> server;
  } cases[] = {
      {L"127.0.0.1:3128", false, L"127.0.0.1:3128"},
      {L"http=h1:80;https=h2:443", true, L"h2:443"},
      {L"HTTP=h1:80; https=h2:443", false, L"h1:80"},
      {L"ftp=f:21 http://p:8080/", true, L"p:8080"},
      {L"ftp=f:21", false, std::nullopt},
      {L" ; ", false, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.secure);
    EXPECT_EQ(win32::ProxyServerFor(c.list, c.secure), c.server);
  }
}

}  // namespace
}  // namespace vexo::platform
