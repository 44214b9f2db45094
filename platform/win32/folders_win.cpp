#include <windows.h>
// windows.h first: shlobj.h needs its types.
#include <shlobj.h>

#include "platform/folders.h"
#include "platform/win32/wide_text_win.h"

namespace vexo::platform {
namespace {

bool IsDriveLetter(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// "C:" or "C:\".
size_t DriveRootLength(std::u16string_view path) {
  if (path.size() < 2 || !IsDriveLetter(path[0]) || path[1] != u':')
    return 0;
  return path.size() > 2 && path[2] == u'\\' ? 3 : 2;
}

// "\\server\share", with the backslash after the share when there is one; server and share must
// both be named.
size_t ShareRootLength(std::u16string_view path) {
  if (path.size() < 3 || path[0] != u'\\' || path[1] != u'\\')
    return 0;
  size_t serverEnd = path.find(u'\\', 2);
  if (serverEnd == std::u16string_view::npos || serverEnd == 2)
    return 0;
  size_t shareEnd = path.find(u'\\', serverEnd + 1);
  if (shareEnd == serverEnd + 1)
    return 0;
  if (shareEnd == std::u16string_view::npos)
    return serverEnd + 1 < path.size() ? path.size() : 0;
  return shareEnd + 1;
}

}  // namespace

char16_t PathSeparator() {
  return u'\\';
}

std::u16string ApplicationDataFolder() {
  wchar_t folder[MAX_PATH] = {};
  // Not created here: the agent creates its own folder below it.
  if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_APPDATA, FALSE))
    return {};
  return win32::FromWide(folder);
}

PathKind GetPathKind(const std::u16string& path) {
  if (path.empty() || win32::HasEmbeddedZero(path))
    return PathKind::kMissing;
  DWORD attributes = GetFileAttributesW(win32::ToWide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return PathKind::kMissing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kDirectory : PathKind::kFile;
}

CreateFolderResult CreateFolder(const std::u16string& path) {
  if (path.empty() || win32::HasEmbeddedZero(path))
    return CreateFolderResult::kFailed;
  if (CreateDirectoryW(win32::ToWide(path).c_str(), nullptr))
    return CreateFolderResult::kCreated;
  return GetLastError() == ERROR_ALREADY_EXISTS ? CreateFolderResult::kAlreadyExists
                                                : CreateFolderResult::kFailed;
}

size_t PathRootLength(std::u16string_view path) {
  if (size_t drive = DriveRootLength(path))
    return drive;
  return ShareRootLength(path);
}

}  // namespace vexo::platform
