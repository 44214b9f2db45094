#include <windows.h>

// windows.h maps this name to its wide variant; the service keeps its own.
#undef GetPrivateProfileInt

#include "platform/profile.h"
#include "platform/win32/wide_text_win.h"

namespace vexo::platform {

int32_t GetPrivateProfileInt(std::u16string_view section, std::u16string_view key,
                             int32_t defaultValue, std::u16string_view path) {
  // The call returns the value's 32 bits unsigned; a negative value in the file stays negative.
  return static_cast<int32_t>(::GetPrivateProfileIntW(win32::ToWide(section).c_str(),
                                                      win32::ToWide(key).c_str(), defaultValue,
                                                      win32::ToWide(path).c_str()));
}

LocalDate Today() {
  SYSTEMTIME now = {};
  GetLocalTime(&now);
  return LocalDate{now.wYear, now.wMonth, now.wDay};
}

}  // namespace vexo::platform
