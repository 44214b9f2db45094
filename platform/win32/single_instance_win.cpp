#include <windows.h>

#include <string>

#include "platform/single_instance.h"

namespace vexo::platform {

NamedMutex::NamedMutex(std::u16string_view name) {
  std::wstring wideName(reinterpret_cast<const wchar_t*>(name.data()), name.size());
  handle_ = CreateMutexW(nullptr, TRUE, wideName.c_str());
  // Read at once: any later call may overwrite the last error.
  alreadyExisted_ = handle_ != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
}

NamedMutex::~NamedMutex() {
  Close();
}

void NamedMutex::Release() {
  // A mutex that existed already was opened, not taken: there is nothing to release.
  if (handle_ != nullptr && !alreadyExisted_)
    ReleaseMutex(handle_);
}

void NamedMutex::Close() {
  if (handle_ == nullptr)
    return;
  CloseHandle(handle_);
  handle_ = nullptr;
}

}  // namespace vexo::platform
