// Stands in for the calendar's installer in the tests of the Windows build: it records the
// parameter text it was started with into "<its own path>.args" (UTF-8, no line end) and exits
// with 0. The parameter text is what follows the program's name on the command line, with the
// spaces between them left out.
#include <windows.h>

#include <string>

namespace {

// The program's name is quoted when it holds spaces; otherwise it ends at the first space or tab.
const wchar_t* SkipProgramName(const wchar_t* commandLine) {
  const wchar_t* p = commandLine;
  if (*p == L'"') {
    ++p;
    while (*p != L'\0' && *p != L'"')
      ++p;
    if (*p == L'"')
      ++p;
  } else {
    while (*p != L'\0' && *p != L' ' && *p != L'\t')
      ++p;
  }
  while (*p == L' ' || *p == L'\t')
    ++p;
  return p;
}

std::string Utf8(const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1)
    return {};
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), size, nullptr, nullptr);
  bytes.pop_back();  // the terminator
  return bytes;
}

// Written under another name and then renamed, so a reader never sees half a record.
bool WriteRecord(const std::wstring& path, const std::string& bytes) {
  std::wstring partial = path + L".partial";
  HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD written = 0;
  bool complete =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
      written == bytes.size();
  CloseHandle(file);
  return complete && MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t self[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH)
    return 2;
  std::wstring record = std::wstring(self, length) + L".args";
  return WriteRecord(record, Utf8(SkipProgramName(GetCommandLineW()))) ? 0 : 3;
}
