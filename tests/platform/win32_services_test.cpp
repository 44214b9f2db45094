// The Win32 desktop services over the real API: path roots, folders, ini files, the machine-wide
// values in the registry, the program's own version, the question and the shell's "open".
#include <windows.h>

// windows.h maps this name to its wide variant; the service keeps its own.
#undef GetPrivateProfileInt

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/desktop_ui.h"
#include "platform/folders.h"
#include "platform/machine_config.h"
#include "platform/module_version.h"
#include "platform/profile.h"
#include "tests/support/temp_folder.h"

namespace vexo::platform {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempFolder;
using testing::WriteFile;

std::string Narrow(std::u16string_view text) {
  std::string result;
  for (char16_t c : text)
    result += c < 0x80 ? static_cast<char>(c) : '?';
  return result;
}

std::string RandomSuffix() {
  std::random_device random;
  return std::to_string(GetCurrentProcessId()) + "-" + std::to_string(random());
}

TEST(PathRoot, DrivesAndSharesWithTheirSeparators) {
  const struct {
    std::u16string_view path;
    size_t length;
  } cases[] = {
      {u"C:", 2},
      {u"c:\\", 3},
      {u"C:\\Users\\vexo\\", 3},
      {u"z:relative", 2},
      {u"\\\\server\\share", 14},
      {u"\\\\server\\share\\", 15},
      {u"\\\\server\\share\\vexo\\Msg\\", 15},
      {u"", 0},
      {u"C", 0},
      {u"1:\\", 0},
      {u"::\\", 0},
      {u"\\", 0},
      {u"\\vexo\\", 0},
      {u"vexo\\Msg\\", 0},
      {u"\\\\", 0},
      {u"\\\\server", 0},
      {u"\\\\server\\", 0},
      {u"\\\\\\share\\", 0},
      {u"\\\\server\\\\", 0},
      {u"/tmp/vexo/", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.path));
    EXPECT_EQ(PathRootLength(c.path), c.length);
  }
  EXPECT_EQ(PathSeparator(), u'\\');
}

TEST(Folders, CreateReportsWhatItFindsAndKindsFollow) {
  TempFolder temp;
  std::u16string folder = (temp.path() / "vexo").u16string();
  std::u16string file = (temp.path() / "setup.exe").u16string();
  WriteFile(file, "MZ");

  EXPECT_EQ(GetPathKind(folder), PathKind::kMissing);
  EXPECT_EQ(CreateFolder(folder), CreateFolderResult::kCreated);
  EXPECT_EQ(GetPathKind(folder), PathKind::kDirectory);
  EXPECT_EQ(CreateFolder(folder), CreateFolderResult::kAlreadyExists);
  EXPECT_EQ(GetPathKind(file), PathKind::kFile);
  // One level at a time: a missing parent is not created on the way.
  EXPECT_EQ(CreateFolder((temp.path() / "missing" / "vexo").u16string()),
            CreateFolderResult::kFailed);
  EXPECT_EQ(GetPathKind((temp.path() / "missing").u16string()), PathKind::kMissing);
  // A zero unit would cut the path short and name the parent folder.
  std::u16string cut = folder + u'\0' + u"x";
  EXPECT_EQ(GetPathKind(cut), PathKind::kMissing);
  EXPECT_EQ(CreateFolder(cut), CreateFolderResult::kFailed);
  EXPECT_EQ(GetPathKind(u""), PathKind::kMissing);
}

TEST(Folders, ApplicationDataIsTheUsersRoamingFolder) {
  wchar_t expected[MAX_PATH] = {};
  ASSERT_NE(GetEnvironmentVariableW(L"APPDATA", expected, MAX_PATH), 0u);
  std::u16string folder = ApplicationDataFolder();
  EXPECT_EQ(fs::path(folder), fs::path(expected));
  EXPECT_NE(folder.back(), u'\\');
  EXPECT_GT(PathRootLength(folder), 0u);
}

TEST(PrivateProfile, WindowsRulesForSectionsKeysAndNumbers) {
  TempFolder temp;
  fs::path file = temp.path() / "20261208.ini";
  WriteFile(file,
            "[Other]\r\nabc=1\r\n"
            "[Msg]\r\n"
            "abc=5\r\n"
            "  spaced  =  42  \r\n"
            "negative=-3\r\n"
            "plus=+8\r\n"
            "trailing=12abc\r\n"
            "letters=abc\r\n"
            "empty=\r\n");
  std::u16string path = file.u16string();
  const struct {
    std::u16string_view section;
    std::u16string_view key;
    int32_t value;
  } cases[] = {
      {u"Msg", u"abc", 5},       {u"MSG", u"ABC", 5},       {u"msg", u"Abc", 5},
      {u"Msg", u"spaced", 42},   {u"Msg", u"negative", -3}, {u"Msg", u"plus", 8},
      {u"Msg", u"trailing", 12}, {u"Msg", u"letters", 0},   {u"Msg", u"empty", 9},
      {u"Msg", u"other", 9},     {u"Else", u"abc", 9},      {u"Other", u"abc", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.section) + "/" + Narrow(c.key));
    EXPECT_EQ(GetPrivateProfileInt(c.section, c.key, 9, path), c.value);
  }
  EXPECT_EQ(GetPrivateProfileInt(u"Msg", u"abc", 9, (temp.path() / "none.ini").u16string()), 9);
  EXPECT_EQ(GetPrivateProfileInt(u"Msg", u"abc", -7, temp.path().u16string()), -7);
}

TEST(PrivateProfile, TodayIsTheLocalDate) {
  SYSTEMTIME before = {};
  GetLocalTime(&before);
  LocalDate today = Today();
  SYSTEMTIME after = {};
  GetLocalTime(&after);
  // Around midnight the date may change between the calls; it is then one of the two.
  bool matchesBefore =
      today.year == before.wYear && today.month == before.wMonth && today.day == before.wDay;
  bool matchesAfter =
      today.year == after.wYear && today.month == after.wMonth && today.day == after.wDay;
  EXPECT_TRUE(matchesBefore || matchesAfter);
  EXPECT_GE(today.month, 1);
  EXPECT_LE(today.month, 12);
}

// Values under HKLM\Software\vexo\ written by the test with names of its own, removed again at
// the end, so other programs' values in the key are left alone.
class MachineValues : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\vexo", 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key_, nullptr),
              ERROR_SUCCESS)
        << "the test needs write access to HKLM\\Software\\vexo";
  }
  void TearDown() override {
    if (key_ == nullptr)
      return;
    for (const std::wstring& name : written_)
      RegDeleteValueW(key_, name.c_str());
    RegCloseKey(key_);
  }

  // Writes `bytes` as a value of `type`; returns the name to read it back with.
  std::u16string Write(DWORD type, const void* bytes, size_t size) {
    std::wstring name = L"vexo-test-" + std::to_wstring(written_.size()) + L"-" +
                        std::wstring(suffix_.begin(), suffix_.end());
    EXPECT_EQ(RegSetValueExW(key_, name.c_str(), 0, type, static_cast<const BYTE*>(bytes),
                             static_cast<DWORD>(size)),
              ERROR_SUCCESS);
    written_.push_back(name);
    return std::u16string(name.begin(), name.end());
  }
  // A string with its terminator, as installers write them.
  std::u16string WriteString(DWORD type, const std::wstring& text) {
    return Write(type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  }

  HKEY key_ = nullptr;
  std::vector<std::wstring> written_;
  std::string suffix_ = RandomSuffix();
};

TEST_F(MachineValues, StringsAreReadAsStored) {
  const struct {
    DWORD type;
    std::wstring text;
  } cases[] = {
      {REG_SZ, L"Vexo Calendar"},
      {REG_SZ, L"日历.exe"},
      {REG_SZ, L""},
      {REG_EXPAND_SZ, L"%SystemRoot%\\vexo.exe"},  // not expanded
      {REG_SZ, std::wstring(1023, L'x')},          // the terminator fills the last unit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + ", " + std::to_string(c.text.size()) + " units");
    std::optional<std::u16string> value = ReadMachineValue(WriteString(c.type, c.text));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, std::u16string(c.text.begin(), c.text.end()));
  }
}

// A string stored without its terminator is not listed: wine's registry call supplies the missing
// terminator itself, so what reaches the service depends on the platform.
TEST_F(MachineValues, OtherTypesOverlongAndMalformedValuesAreAbsent) {
  DWORD number = 7;
  const wchar_t oddSize[] = L"ab";
  const wchar_t multi[] = L"a\0b\0";
  const std::u16string absent[] = {
      Write(REG_DWORD, &number, sizeof number),
      Write(REG_BINARY, L"setup.exe", sizeof L"setup.exe"),
      Write(REG_MULTI_SZ, multi, sizeof multi),
      WriteString(REG_SZ, std::wstring(1024, L'x')),  // no room left for the terminator
      Write(REG_SZ, oddSize, 3),
      Write(REG_SZ, oddSize, 0),
      u"vexo-test-never-written-" + std::u16string(suffix_.begin(), suffix_.end()),
      u"",
      std::u16string(written_.empty() ? u"" : u"x") + u'\0',
  };
  for (size_t i = 0; i < std::size(absent); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    EXPECT_FALSE(ReadMachineValue(absent[i]).has_value());
  }
}

// Restores the key's security descriptor when the test ends, whatever happens in it.
class ScopedKeySecurity {
 public:
  explicit ScopedKeySecurity(HKEY key) : key_(key) {
    DWORD size = 0;
    RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, nullptr, &size);
    saved_.resize(size);
    saved_ok_ = size != 0 && RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, saved_.data(),
                                               &size) == ERROR_SUCCESS;
  }
  ~ScopedKeySecurity() {
    if (saved_ok_)
      RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, saved_.data());
  }
  ScopedKeySecurity(const ScopedKeySecurity&) = delete;
  ScopedKeySecurity& operator=(const ScopedKeySecurity&) = delete;

  bool saved() const { return saved_ok_; }

 private:
  HKEY key_;
  std::vector<BYTE> saved_;
  bool saved_ok_ = false;
};

// Ordinary users may read the machine's software keys but not write them; the value must still be
// found then. The key is given a DACL that allows everyone reading only, for the test's duration.
TEST_F(MachineValues, ReadableWhenTheKeyGrantsReadingOnly) {
  std::u16string name = WriteString(REG_SZ, L"Vexo Calendar");
  HKEY securityKey = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\vexo", 0, READ_CONTROL | WRITE_DAC,
                          &securityKey),
            ERROR_SUCCESS);
  {
    ScopedKeySecurity restore(securityKey);
    ASSERT_TRUE(restore.saved());

    // "D:P(A;;KR;;;WD)": protected, everyone may read the key and nothing else.
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof everyone;
    ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, everyone, &sidSize));
    BYTE aclBuffer[256];
    auto* acl = reinterpret_cast<ACL*>(aclBuffer);
    ASSERT_TRUE(InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone));
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
    ASSERT_EQ(RegSetKeySecurity(securityKey, DACL_SECURITY_INFORMATION, &descriptor),
              ERROR_SUCCESS);

    // The platform enforces the DACL: asking for writing is refused now.
    HKEY writable = nullptr;
    LONG writeAccess =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\vexo\\", 0, KEY_READ | KEY_WRITE, &writable);
    if (writeAccess == ERROR_SUCCESS)
      RegCloseKey(writable);
    EXPECT_EQ(writeAccess, ERROR_ACCESS_DENIED);

    EXPECT_EQ(ReadMachineValue(name), std::optional<std::u16string>(u"Vexo Calendar"));
  }
  RegCloseKey(securityKey);
}

TEST(OwnVersion, AbsentWithoutAVersionResource) {
  // This test program carries no version resource; the agent's own is checked end to end.
  EXPECT_FALSE(ReadOwnFileVersion().has_value());
}

// What the answering thread saw of the message box.
struct SeenQuestion {
  bool found = false;
  std::wstring text;
  bool yesIsDefault = false;
  bool showsIcon = false;
  bool hasYes = false;
  bool hasNo = false;
  bool hasCancel = false;
};

// Finds the message box of AskYesNo by its caption and answers it with a click on one button, as
// a user would; gives up after ten seconds.
class QuestionAnswerer {
 public:
  QuestionAnswerer(std::wstring caption, int button)
      : thread_([this, caption = std::move(caption), button] { Answer(caption, button); }) {}
  ~QuestionAnswerer() {
    if (thread_.joinable())
      thread_.join();
  }

  SeenQuestion Finish() {
    thread_.join();
    return seen_;
  }

 private:
  void Answer(const std::wstring& caption, int button) {
    for (int attempt = 0; attempt < 200; ++attempt) {
      HWND box = FindWindowW(L"#32770", caption.c_str());
      if (box == nullptr || !IsWindowVisible(box)) {
        Sleep(50);
        continue;
      }
      wchar_t text[256] = {};
      GetDlgItemTextW(box, 0xFFFF, text, 256);  // the message box's text control
      seen_.text = text;
      seen_.yesIsDefault =
          (GetWindowLongW(GetDlgItem(box, IDYES), GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
      seen_.showsIcon = ShowsIcon(box);
      seen_.hasYes = GetDlgItem(box, IDYES) != nullptr;
      seen_.hasNo = GetDlgItem(box, IDNO) != nullptr;
      seen_.hasCancel = GetDlgItem(box, IDCANCEL) != nullptr;
      seen_.found = true;
      SendMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
      return;
    }
  }

  // Any static control of the box that holds an icon.
  static bool ShowsIcon(HWND box) {
    bool found = false;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM param) -> BOOL {
          wchar_t className[16] = {};
          GetClassNameW(child, className, 16);
          if (lstrcmpiW(className, L"Static") == 0 &&
              (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
              SendMessageW(child, STM_GETICON, 0, 0) != 0) {
            *reinterpret_cast<bool*>(param) = true;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
  }

  SeenQuestion seen_;
  std::thread thread_;
};

TEST(Question, YesOnlyForTheYesButton) {
  for (int button : {IDYES, IDNO}) {
    SCOPED_TRACE(button == IDYES ? "Yes" : "No");
    std::wstring caption = L"Vexo question " + std::to_wstring(button);
    QuestionAnswerer answerer(caption, button);
    bool answer = AskYesNo(nullptr, u"发现新版本，是否升级？",
                           std::u16string(caption.begin(), caption.end()));
    ASSERT_TRUE(answerer.Finish().found);
    EXPECT_EQ(answer, button == IDYES);
  }
}

TEST(Question, ShowsTheTextWithYesAndNoYesAsDefaultAndNoIcon) {
  QuestionAnswerer answerer(L"Vexo layout", IDNO);
  AskYesNo(nullptr, u"发现新版本，是否升级？", u"Vexo layout");
  SeenQuestion seen = answerer.Finish();
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.text, L"发现新版本，是否升级？");
  EXPECT_TRUE(seen.hasYes);
  EXPECT_TRUE(seen.hasNo);
  EXPECT_FALSE(seen.hasCancel);
  EXPECT_TRUE(seen.yesIsDefault);
  EXPECT_FALSE(seen.showsIcon);
}

fs::path FakeInstaller() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  // The build puts the stand-in installer beside the tests of the Windows build's programs.
  return fs::path(self).parent_path().parent_path() / "wine" / "vexo_fake_installer.exe";
}

std::string WaitForRecord(const fs::path& record) {
  for (int attempt = 0; attempt < 400 && !fs::exists(record); ++attempt)
    Sleep(25);
  return ReadFile(record);
}

TEST(Launch, ShellOpensTheFileWithItsParameters) {
  ASSERT_TRUE(fs::exists(FakeInstaller())) << FakeInstaller().string();
  const struct {
    std::u16string_view fileName;
    std::u16string_view parameters;
  } cases[] = {
      {u"vexo-setup.exe", u"/S /source=update"},
      {u"vexo setup 1.0.7.exe", u"/S \"/D=C:\\Program Files\\Vexo\""},
      {u"vexo-setup.exe", u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.fileName) + " " + Narrow(c.parameters));
    TempFolder temp;
    fs::path installer = temp.path() / c.fileName;
    fs::copy_file(FakeInstaller(), installer);
    ShellOpen(installer.u16string(), c.parameters);
    EXPECT_EQ(WaitForRecord(installer.string() + ".args"), Narrow(c.parameters));
  }
}

TEST(Launch, MissingFilesAreNotAnError) {
  TempFolder temp;
  ShellOpen((temp.path() / "missing.exe").u16string(), u"/S");
  EXPECT_TRUE(fs::is_empty(temp.path()));
}

}  // namespace
}  // namespace vexo::platform
