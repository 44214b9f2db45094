#include "agent/hidden_frame.h"

#include "agent/update_installation.h"
#include "http/http_error.h"

namespace vexo {

uint32_t FirstDisplayDelayMs(int32_t seconds) {
  if (seconds < 0)
    return kLongestTimerDelayMs;
  int64_t milliseconds = int64_t{seconds} * 1000;
  return static_cast<uint32_t>(std::min<int64_t>(milliseconds, kLongestTimerDelayMs));
}

// The frame has no accelerator table, so no message is ever translated here.
bool CHiddenFrame::PreTranslateMessage(const platform::Message&) {
  return false;
}

bool CHiddenFrame::OnIdle() {
  return false;
}

bool CHiddenFrame::ProcessWindowMessage(const platform::Message& message, intptr_t& result) {
  switch (message.id) {
    case platform::kMsgCreate:
      result = OnCreate();
      return true;
    case platform::kMsgDestroy:
      OnDestroy();
      break;  // unhandled: the frame's default destruction handling runs as well
    case platform::kMsgTimer:
      result = OnTimer(message.wParam);
      return true;
    default:
      break;
  }
  if (ProcessUpdateUIMessage(message, result))
    return true;
  return ProcessFrameMessage(message, result);
}

intptr_t CHiddenFrame::OnCreate() {
  if (CMessageLoop* loop = module_.GetMessageLoop()) {
    loop->AddMessageFilter(this);
    loop->AddIdleHandler(this);
  }
  SetTimer(TIMER_START_QUERY, kStartQueryDelayMs);
  return 0;
}

void CHiddenFrame::OnDestroy() {
  if (CMessageLoop* loop = module_.GetMessageLoop()) {
    loop->RemoveMessageFilter(this);
    loop->RemoveIdleHandler(this);
  }
}

intptr_t CHiddenFrame::OnTimer(uintptr_t timerId) {
  switch (timerId) {
    case TIMER_START_QUERY:
      KillTimer(TIMER_START_QUERY);
      OnStartQuery();
      break;
    case TIMER_POPUP_QUERY:
      KillTimer(TIMER_POPUP_QUERY);
      OnPopupQuery();
      break;
    case TIMER_FIRST_DISPLAY:
      KillTimer(TIMER_FIRST_DISPLAY);
      break;
    default:
      break;
  }
  return 0;
}

void CHiddenFrame::OnStartQuery() {
  try {
    std::u16string answer = queries_.FetchAnswer(u"start");
    if (ParseUpdateResponse(answer))
      RunUpdate();
  } catch (const httpclientexceptionW&) {
    // A failed start query is not reported; the pop-up query still follows.
  }
  // Armed only now, after any question has been answered.
  SetTimer(TIMER_POPUP_QUERY, kPopupQueryDelayMs);
}

void CHiddenFrame::OnPopupQuery() {
  std::u16string answer;
  try {
    answer = queries_.FetchAnswer(u"popup");
  } catch (const httpclientexceptionW&) {
    return;  // the agent stays resident with no timer armed
  }
  PopupContext context{[this] { return queries_.GetDataFolder(); },
                       [this] { return desktop_.Today(); }};
  if (!popupSchedule_.ParsePopupResponse(answer, context)) {
    DestroyWindow();
    return;
  }
  if (armedFirstDisplay_ == 0) {
    armedFirstDisplay_ = popupSchedule_.firstDisplay;
    SetTimer(TIMER_FIRST_DISPLAY, FirstDisplayDelayMs(popupSchedule_.firstDisplay));
  }
}

bool CHiddenFrame::ParseUpdateResponse(const std::u16string& text) {
  return vexo::ParseUpdateResponse(
      text, [this] { return queries_.GetDataFolder(); }, startAnswer_);
}

void CHiddenFrame::RunUpdate() {
  vexo::RunUpdate(startAnswer_.updateOffer, queries_.GetOwnFileVersion(), queries_.GetDataFolder(),
                  updateKeys_, desktop_, m_hWnd);
}

}  // namespace vexo
