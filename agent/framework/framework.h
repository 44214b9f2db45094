// The least of a window framework that the hidden frame needs: the application module, the
// thread's message loop with its message filters and idle handlers, and a frame-window template
// whose default handling ends the loop when a top-level frame is destroyed.
#pragma once

#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "platform/window.h"

namespace vexo {

class CMessageFilter {
 public:
  virtual bool PreTranslateMessage(const platform::Message& message) = 0;

 protected:
  ~CMessageFilter() = default;
};

class CIdleHandler {
 public:
  virtual bool OnIdle() = 0;

 protected:
  ~CIdleHandler() = default;
};

class CMessageLoop {
 public:
  bool AddMessageFilter(CMessageFilter* filter);
  bool RemoveMessageFilter(CMessageFilter* filter);
  bool AddIdleHandler(CIdleHandler* handler);
  bool RemoveIdleHandler(CIdleHandler* handler);

  // Runs until the quit message arrives and returns its exit code. While no message is waiting the
  // idle handlers run, until one pass of them asks for no more idle time.
  int Run();

 private:
  bool RunIdleHandlers();
  bool PreTranslateMessage(const platform::Message& message);

  std::vector<CMessageFilter*> filters_;
  std::vector<CIdleHandler*> idleHandlers_;
};

// The application module: the instance handle and the message loop of each thread.
class CAppModule {
 public:
  void Init(platform::InstanceHandle instance);
  void Term();
  platform::InstanceHandle Instance() const { return instance_; }

  bool AddMessageLoop(CMessageLoop* loop);
  bool RemoveMessageLoop();
  // The loop registered for the calling thread, or null.
  CMessageLoop* GetMessageLoop() const;

 private:
  platform::InstanceHandle instance_ = nullptr;
  std::vector<std::pair<std::thread::id, CMessageLoop*>> loops_;
};

// Update-UI support; the hidden frame has no user interface elements to update, so its map
// handles nothing.
class CUpdateUI {
 protected:
  bool ProcessUpdateUIMessage(const platform::Message&, intptr_t&) { return false; }
};

// Frame window over a class T that supplies
//   bool ProcessWindowMessage(const platform::Message&, intptr_t& result)
// and chains to ProcessFrameMessage for the frame's default map.
template <class T>
class CFrameWindowImpl : public platform::WindowProcedure {
 public:
  // Overlapped window with clip-children and clip-siblings; application window with window edge.
  static constexpr uint32_t kDefaultStyle = 0x06CF0000;
  static constexpr uint32_t kDefaultExStyle = 0x00040100;
  // Title, menu, accelerators and icons of the frame come from this resource identifier.
  static constexpr uint16_t kFrameResource = 128;

  virtual ~CFrameWindowImpl() = default;

  // No parent, default position and size, default styles.
  platform::WindowHandle CreateEx(platform::InstanceHandle instance) {
    platform::WindowCreateParams params;
    params.instance = instance;
    params.classKey = &kWindowClass;
    params.style = kDefaultStyle;
    params.exStyle = kDefaultExStyle;
    params.iconResource = kFrameResource;
    return platform::CreateTopLevelWindow(params, this);
  }

  bool DestroyWindow() { return platform::DestroyWindow(m_hWnd); }
  void HideWindow() { platform::HideWindow(m_hWnd); }
  bool SetTimer(uintptr_t id, uint32_t delayMs) { return platform::SetTimer(m_hWnd, id, delayMs); }
  bool KillTimer(uintptr_t id) { return platform::KillTimer(m_hWnd, id); }

  platform::WindowHandle m_hWnd = nullptr;

 protected:
  // The frame's default map: destroying a top-level frame (neither child nor pop-up) posts the
  // quit message with exit code 1. The message stays unhandled for the platform's default.
  bool ProcessFrameMessage(const platform::Message& message, intptr_t&) {
    if (message.id == platform::kMsgDestroy) {
      uint32_t style = platform::GetWindowStyle(m_hWnd);
      if ((style & (platform::kStyleChild | platform::kStylePopup)) == 0) {
        platform::PostQuitMessage(1);
      }
    }
    return false;
  }

  // Called after the last message the window receives; nothing to do for this frame.
  virtual void OnFinalMessage(platform::WindowHandle) {}

 private:
  // The class description; its address names the window class.
  struct WindowClass {
    uint16_t iconResource;
  };
  static constexpr WindowClass kWindowClass{kFrameResource};

  intptr_t WindowProc(const platform::Message& message) final {
    if (message.id == platform::kMsgCreate)
      m_hWnd = message.window;
    intptr_t result = 0;
    bool handled = static_cast<T*>(this)->ProcessWindowMessage(message, result);
    if (!handled)
      result = platform::DefaultWindowProc(message);
    if (message.id == platform::kMsgDestroy) {
      platform::WindowHandle window = m_hWnd;
      m_hWnd = nullptr;
      OnFinalMessage(window);
    }
    return result;
  }
};

}  // namespace vexo
