// The agent's entry point: the single-instance guard, COM and common controls around the run,
// the hidden frame and its message loop.
#include <memory>

#include "agent/desktop.h"
#include "agent/framework/framework.h"
#include "agent/hidden_frame.h"
#include "agent/query_cycle.h"
#include "agent/update_signature.h"
#include "platform/com.h"
#include "platform/entry.h"
#include "platform/single_instance.h"

namespace vexo {
namespace {

constexpr char16_t kMutexName[] = u"Vexo升级加速";

// Holds the named mutex from the start of the entry point to its end.
class SingleInstanceGuard {
 public:
  SingleInstanceGuard() : mutex_(kMutexName) {}
  ~SingleInstanceGuard() {
    mutex_.Release();
    mutex_.Close();
  }
  bool Acquired() const { return mutex_.IsValid() && !mutex_.AlreadyExisted(); }

 private:
  platform::NamedMutex mutex_;
};

int Run(CAppModule& module) {
  CMessageLoop loop;
  module.AddMessageLoop(&loop);
  SystemDesktop desktop;
  // Filled on first use and kept for the life of the process: application name, data folder.
  QueryCycle queries(desktop, u"" VEXO_SERVER_ORIGIN);
  auto frame = std::make_unique<CHiddenFrame>(module, desktop, queries, BuiltInUpdateKeys());
  if (frame->CreateEx(module.Instance()) == nullptr) {
    module.RemoveMessageLoop();
    return 0;
  }
  frame->HideWindow();
  int result = loop.Run();
  module.RemoveMessageLoop();
  frame.reset();
  return result;
}

}  // namespace

int AgentMain(platform::InstanceHandle instance) {
  SingleInstanceGuard guard;
  if (!guard.Acquired())
    return 0;
  platform::InitializeComApartment();
  platform::InitializeCommonControls(platform::kCommonControlsBarClasses);
  CAppModule module;
  module.Init(instance);
  int result = Run(module);
  module.Term();
  platform::UninitializeCom();
  return result;
}

}  // namespace vexo
