#include <windows.h>

#include <new>
#include <string>
#include <vector>

#include "platform/module_version.h"

namespace vexo::platform {
namespace {

constexpr DWORD kPathCapacity = MAX_PATH;
constexpr DWORD kFixedInfoSignature = 0xFEEF04BD;

// Empty when the path does not fit: a cut path would name another file.
std::wstring OwnExecutablePath() {
  wchar_t path[kPathCapacity] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, kPathCapacity);
  if (length == 0 || length >= kPathCapacity)
    return {};
  return std::wstring(path, length);
}

std::optional<FileVersion> FixedFileVersion(const std::vector<unsigned char>& resource) {
  void* block = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(resource.data(), L"\\", &block, &size) || block == nullptr ||
      size < sizeof(VS_FIXEDFILEINFO)) {
    return std::nullopt;
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(block);
  if (info->dwSignature != kFixedInfoSignature)
    return std::nullopt;
  return FileVersion{info->dwFileVersionMS, info->dwFileVersionLS};
}

}  // namespace

std::optional<FileVersion> ReadOwnFileVersion() {
  std::wstring path = OwnExecutablePath();
  if (path.empty())
    return std::nullopt;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0)
    return std::nullopt;
  try {
    std::vector<unsigned char> resource(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, resource.data()))
      return std::nullopt;
    return FixedFileVersion(resource);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace vexo::platform
