// A named mutex in the namespace of the current logon session, created initially owned.
// On POSIX it is a lock that dies with the process, in the user's runtime folder.
#pragma once

#include <string_view>

namespace vexo::platform {

class NamedMutex {
 public:
  // Creates (or opens) the mutex `name`, initially owned by the calling thread.
  explicit NamedMutex(std::u16string_view name);
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // A handle came back.
  bool IsValid() const { return handle_ != nullptr; }
  // The name existed already: another process holds or held it this session.
  bool AlreadyExisted() const { return alreadyExisted_; }
  void Release();
  void Close();

 private:
  void* handle_ = nullptr;
  bool alreadyExisted_ = false;
};

}  // namespace vexo::platform
