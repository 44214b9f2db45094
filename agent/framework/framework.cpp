#include "agent/framework/framework.h"

#include <algorithm>

namespace vexo {
namespace {

template <class T>
bool AddOnce(std::vector<T*>& list, T* item) {
  if (item == nullptr || std::find(list.begin(), list.end(), item) != list.end())
    return false;
  list.push_back(item);
  return true;
}

template <class T>
bool RemoveItem(std::vector<T*>& list, T* item) {
  return std::erase(list, item) > 0;
}

}  // namespace

bool CMessageLoop::AddMessageFilter(CMessageFilter* filter) {
  return AddOnce(filters_, filter);
}
bool CMessageLoop::RemoveMessageFilter(CMessageFilter* filter) {
  return RemoveItem(filters_, filter);
}
bool CMessageLoop::AddIdleHandler(CIdleHandler* handler) {
  return AddOnce(idleHandlers_, handler);
}
bool CMessageLoop::RemoveIdleHandler(CIdleHandler* handler) {
  return RemoveItem(idleHandlers_, handler);
}

bool CMessageLoop::RunIdleHandlers() {
  bool wantsMore = false;
  // A handler may unregister itself while idling: walk a copy.
  for (CIdleHandler* handler : std::vector<CIdleHandler*>(idleHandlers_)) {
    wantsMore = handler->OnIdle() || wantsMore;
  }
  return wantsMore;
}

bool CMessageLoop::PreTranslateMessage(const platform::Message& message) {
  // The filter registered last is asked first.
  for (auto it = filters_.rbegin(); it != filters_.rend(); ++it) {
    if ((*it)->PreTranslateMessage(message))
      return true;
  }
  return false;
}

int CMessageLoop::Run() {
  bool doIdle = true;
  platform::Message message;
  for (;;) {
    while (doIdle && !platform::PeekMessage()) {
      if (!RunIdleHandlers())
        doIdle = false;
    }
    int got = platform::GetMessage(message);
    if (got == -1)
      continue;  // a failed wait is ignored
    if (got == 0)
      break;
    if (!PreTranslateMessage(message))
      platform::TranslateAndDispatch(message);
    doIdle = true;
  }
  return static_cast<int>(message.wParam);
}

void CAppModule::Init(platform::InstanceHandle instance) {
  instance_ = instance;
}

void CAppModule::Term() {
  loops_.clear();
  instance_ = nullptr;
}

bool CAppModule::AddMessageLoop(CMessageLoop* loop) {
  if (loop == nullptr || GetMessageLoop() != nullptr)
    return false;
  loops_.emplace_back(std::this_thread::get_id(), loop);
  return true;
}

bool CAppModule::RemoveMessageLoop() {
  return std::erase_if(loops_, [](const auto& entry) {
           return entry.first == std::this_thread::get_id();
         }) > 0;
}

CMessageLoop* CAppModule::GetMessageLoop() const {
  for (const auto& [thread, loop] : loops_) {
    if (thread == std::this_thread::get_id())
      return loop;
  }
  return nullptr;
}

}  // namespace vexo
