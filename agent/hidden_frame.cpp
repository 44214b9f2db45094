#include "agent/hidden_frame.h"

namespace vexo {

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
    case TIMER_POPUP_QUERY:
    case TIMER_FIRST_DISPLAY:
      KillTimer(timerId);
      break;
    default:
      break;
  }
  return 0;
}

}  // namespace vexo
