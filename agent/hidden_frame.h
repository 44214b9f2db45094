// The hidden top-level frame that owns the agent's state and whose three one-shot timers drive
// the agent's run: the start query and the update, the pop-up query, the first display.
#pragma once

#include <cstdint>
#include <utility>

#include "agent/desktop.h"
#include "agent/framework/framework.h"
#include "agent/popup_schedule.h"
#include "agent/query_cycle.h"
#include "agent/update_response.h"
#include "agent/update_signature.h"

namespace vexo {

inline constexpr uintptr_t TIMER_START_QUERY = 1357;
inline constexpr uintptr_t TIMER_POPUP_QUERY = 1358;
inline constexpr uintptr_t TIMER_FIRST_DISPLAY = 1359;
inline constexpr uint32_t kStartQueryDelayMs = 2000;
inline constexpr uint32_t kPopupQueryDelayMs = 1000;
// The longest delay a window timer takes.
inline constexpr uint32_t kLongestTimerDelayMs = 0x7FFFFFFF;

// The first-display delay in milliseconds: seconds x 1000 without overflow, within what a timer
// takes. A negative count of seconds means the longest delay, as the platform reads it.
uint32_t FirstDisplayDelayMs(int32_t seconds);

class CHiddenFrame : public CFrameWindowImpl<CHiddenFrame>,
                     public CUpdateUI,
                     public CMessageFilter,
                     public CIdleHandler {
 public:
  // `updateKeys`: the publisher's keys installers must be signed with; none: no signature is
  // looked at.
  CHiddenFrame(CAppModule& module, Desktop& desktop, QueryCycle& queries, PinnedKeys updateKeys)
      : module_(module), desktop_(desktop), queries_(queries), updateKeys_(std::move(updateKeys)) {}

  bool PreTranslateMessage(const platform::Message& message) override;
  bool OnIdle() override;

  // The message map: creation, destruction (left unhandled), timers, then the update-UI map and
  // the frame's default map.
  bool ProcessWindowMessage(const platform::Message& message, intptr_t& result);

  bool ParseUpdateResponse(const std::u16string& text);
  void RunUpdate();

  const StartAnswer& startAnswer() const { return startAnswer_; }
  const PopupSchedule& popupSchedule() const { return popupSchedule_; }
  int32_t armedFirstDisplay() const { return armedFirstDisplay_; }

 private:
  intptr_t OnCreate();
  void OnDestroy();
  intptr_t OnTimer(uintptr_t timerId);
  void OnStartQuery();
  void OnPopupQuery();

  CAppModule& module_;
  Desktop& desktop_;
  QueryCycle& queries_;
  const PinnedKeys updateKeys_;
  // Holds the shortcut rows, the mini pop-up and the update offer.
  StartAnswer startAnswer_;
  PopupSchedule popupSchedule_;
  int32_t armedFirstDisplay_ = 0;  // firstDisplay with which timer 1359 was armed; 0: not yet
};

}  // namespace vexo
