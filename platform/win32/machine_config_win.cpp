#include <windows.h>

#include "platform/machine_config.h"
#include "platform/win32/wide_text_win.h"

namespace vexo::platform {
namespace {

// Read access only: ordinary users may not open the machine's software keys for writing, and
// asking for it would hide the value from them.
constexpr REGSAM kAccess = KEY_READ;
constexpr wchar_t kKeyPath[] = L"Software\\vexo\\";

// Closes the key on every way out.
class OpenKey {
 public:
  OpenKey() {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, kAccess, &key_) != ERROR_SUCCESS)
      key_ = nullptr;
  }
  ~OpenKey() {
    if (key_ != nullptr)
      RegCloseKey(key_);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;

  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// A string value as stored (an expandable one is not expanded): a whole number of wide characters
// that ends in a terminator and fits the buffer with it. The text ends at its first terminator.
std::optional<std::u16string> QueryString(HKEY key, const std::wstring& name) {
  wchar_t buffer[kMachineValueCapacity] = {};
  DWORD type = REG_NONE;
  DWORD bytes = sizeof buffer;
  if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                       &bytes) != ERROR_SUCCESS) {
    return std::nullopt;  // missing, unreadable, or too long for the buffer (ERROR_MORE_DATA)
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ)
    return std::nullopt;
  if (bytes == 0 || bytes % sizeof(wchar_t) != 0)
    return std::nullopt;
  size_t units = bytes / sizeof(wchar_t);
  if (buffer[units - 1] != L'\0')
    return std::nullopt;
  return win32::FromWide(buffer);
}

}  // namespace

std::optional<std::u16string> ReadMachineValue(std::u16string_view name) {
  // An empty name would read the key's default value, which is not one of the program's values.
  if (name.empty() || win32::HasEmbeddedZero(name))
    return std::nullopt;
  OpenKey key;
  if (key.get() == nullptr)
    return std::nullopt;
  return QueryString(key.get(), win32::ToWide(name));
}

}  // namespace vexo::platform
