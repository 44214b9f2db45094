// The hidden top-level frame that owns the agent's state and whose three one-shot timers drive
// the agent's run.
#pragma once

#include <cstdint>

#include "agent/framework/framework.h"

namespace vexo {

inline constexpr uintptr_t TIMER_START_QUERY = 1357;
inline constexpr uintptr_t TIMER_POPUP_QUERY = 1358;
inline constexpr uintptr_t TIMER_FIRST_DISPLAY = 1359;
inline constexpr uint32_t kStartQueryDelayMs = 2000;
inline constexpr uint32_t kPopupQueryDelayMs = 1000;

class CHiddenFrame : public CFrameWindowImpl<CHiddenFrame>,
                     public CUpdateUI,
                     public CMessageFilter,
                     public CIdleHandler {
 public:
  explicit CHiddenFrame(CAppModule& module) : module_(module) {}

  bool PreTranslateMessage(const platform::Message& message) override;
  bool OnIdle() override;

  // The message map: creation, destruction (left unhandled), timers, then the update-UI map and
  // the frame's default map.
  bool ProcessWindowMessage(const platform::Message& message, intptr_t& result);

 private:
  intptr_t OnCreate();
  void OnDestroy();
  intptr_t OnTimer(uintptr_t timerId);

  CAppModule& module_;
};

}  // namespace vexo
