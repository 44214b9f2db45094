// The POSIX stand-ins for the Windows services: command-line splitting, ini files, the
// machine-wide values, the question and the launch.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "platform/desktop_ui.h"
#include "platform/machine_config.h"
#include "platform/posix/command_line.h"
#include "platform/posix/ini_file.h"
#include "platform/posix/transfer/internet_proxy.h"
#include "platform/posix/transfer_protocol.h"
#include "platform/profile.h"
#include "tests/support/temp_folder.h"

namespace vexo::platform {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

// Sets an environment variable for the test's duration.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name))
      old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

void Write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(WindowsCommandLine, SplitsAsWindowsProgramsDo) {
  const struct {
    std::u16string text;
    std::vector<std::u16string> arguments;
  } cases[] = {
      {u"", {}},
      {u"   ", {}},
      {u"/S", {u"/S"}},
      {u"a  b\tc", {u"a", u"b", u"c"}},
      {u"\"a b\" c", {u"a b", u"c"}},
      {u"/D=\"C:\\Program Files\\Vexo\"", {u"/D=C:\\Program Files\\Vexo"}},
      {u"a\\\\b", {u"a\\\\b"}},
      {u"a\\\"b", {u"a\"b"}},
      {u"a\\\\\"b c\"", {u"a\\b c"}},
      {u"\"\"", {u""}},
      {u"\"a\"\"b\"", {u"a\"b"}},
      {u"\"unterminated arg", {u"unterminated arg"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
    EXPECT_EQ(posix::SplitWindowsCommandLine(c.text), c.arguments);
  }
}

TEST(IniFile, FindsValuesWithTheWindowsRules) {
  const std::string text =
      "\xEF\xBB\xBF; comment\n"
      "[Other]\nkey=1\n"
      "[ MSG ]\r\n"
      "  Key  =  42  \r\n"
      "quoted=\"7\"\n"
      "empty=\n"
      "novalue\n"
      "key=99\n"
      "[msg]\nlater=5\n";
  const struct {
    const char* section;
    const char* key;
    std::optional<std::string> value;
  } cases[] = {
      {"Msg", "key", "42"},  {"msg", "KEY", "42"},   {"Msg", "quoted", "7"},
      {"Msg", "empty", ""},  {"Msg", "novalue", {}}, {"Msg", "missing", {}},
      {"Other", "key", "1"}, {"Nope", "key", {}},    {"Msg", "later", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key);
    std::istringstream input(text);
    EXPECT_EQ(posix::FindIniValue(input, c.section, c.key), c.value);
  }
}

TEST(IniFile, OverlongLinesAreSkipped) {
  std::string text = "[Msg]\nkey=" + std::string(200000, '9') + "\nkey=3\n";
  std::istringstream input(text);
  EXPECT_EQ(posix::FindIniValue(input, "Msg", "key"), std::optional<std::string>("3"));
}

TEST(IniFile, IntegersReadLikeTheWindowsCall) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {{"42", 42},
               {"  7", 7},
               {"-3", -3},
               {"+8", 8},
               {"12abc", 12},
               {"abc", 0},
               {"0x10", 0},
               {"4294967297", 1},
               {"2147483648", -2147483647 - 1},
               {"000000000000000000000000000012", 1} /* only 29 characters count */};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(posix::ProfileInteger(c.text), c.value);
  }
}

TEST(PrivateProfile, DefaultWhenFileSectionKeyOrValueIsMissing) {
  TempFolder dir;
  fs::path file = dir.path() / "20261208.ini";
  Write(file, "[Msg]\nabc=5\nempty=\n");
  std::u16string path = file.u16string();
  EXPECT_EQ(GetPrivateProfileInt(u"Msg", u"ABC", 9, path), 5);
  EXPECT_EQ(GetPrivateProfileInt(u"Msg", u"other", 9, path), 9);
  EXPECT_EQ(GetPrivateProfileInt(u"Msg", u"empty", 9, path), 9);
  EXPECT_EQ(GetPrivateProfileInt(u"Else", u"abc", 9, path), 9);
  EXPECT_EQ(GetPrivateProfileInt(u"Msg", u"abc", 9, (dir.path() / "none.ini").u16string()), 9);
  EXPECT_EQ(GetPrivateProfileInt(u"Msg", u"abc", 9, dir.path().u16string()), 9);
}

TEST(MachineConfig, ValuesComeFromTheFirstConfigFolder) {
  TempFolder dir;
  ScopedEnv dirs("XDG_CONFIG_DIRS",
                 (dir.path() / "first").string() + ":" + (dir.path() / "second").string());
  Write(dir.path() / "first" / "vexo" / "application", "Vexo Calendar\n");
  Write(dir.path() / "first" / "vexo" / "twolines", "a\n\n");
  Write(dir.path() / "first" / "vexo" / "chinese", "日历");
  Write(dir.path() / "first" / "vexo" / "latin1", "caf\xE9");
  Write(dir.path() / "first" / "vexo" / "longest", std::string(1023, 'x'));
  Write(dir.path() / "first" / "vexo" / "toolong", std::string(1024, 'x'));
  Write(dir.path() / "second" / "vexo" / "server", "http://elsewhere");

  EXPECT_EQ(ReadMachineValue(u"application"), std::optional<std::u16string>(u"Vexo Calendar"));
  EXPECT_EQ(ReadMachineValue(u"twolines"), std::optional<std::u16string>(u"a\n"));
  EXPECT_EQ(ReadMachineValue(u"chinese"), std::optional<std::u16string>(u"日历"));
  EXPECT_EQ(ReadMachineValue(u"longest")->size(), 1023u);
  EXPECT_FALSE(ReadMachineValue(u"latin1"));  // not UTF-8
  EXPECT_FALSE(ReadMachineValue(u"toolong"));
  EXPECT_FALSE(ReadMachineValue(u"server"));  // only the first folder counts
  EXPECT_FALSE(ReadMachineValue(u"missing"));
  EXPECT_FALSE(ReadMachineValue(u"../vexo/application"));
  EXPECT_FALSE(ReadMachineValue(u""));
}

// A stand-in program that records its arguments, one per line, and exits with `status`.
fs::path RecordingProgram(const fs::path& folder, const std::string& name, int status) {
  fs::path program = folder / name;
  Write(program, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args\"\nexit " +
                     std::to_string(status) + "\n");
  fs::permissions(program, fs::perms::owner_all);
  return program;
}

std::string WaitForFile(const fs::path& path) {
  for (int i = 0; i < 500 && !fs::exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

TEST(Question, DesktopSessionsAskZenity) {
  for (int status : {0, 1}) {
    TempFolder dir;
    RecordingProgram(dir.path(), "zenity", status);
    ScopedEnv display("DISPLAY", ":42");
    ScopedEnv path("PATH", dir.path().string());
    EXPECT_EQ(AskYesNo(nullptr, u"发现新版本，是否升级？", u"Vexo"), status == 0);
    EXPECT_EQ(WaitForFile(dir.path() / "zenity.args"),
              "--question\n--title=Vexo\n--text=发现新版本，是否升级？\n");
  }
}

TEST(Question, KdialogWhenThereIsNoZenity) {
  TempFolder dir;
  RecordingProgram(dir.path(), "kdialog", 0);
  ScopedEnv display("WAYLAND_DISPLAY", "wayland-0");
  ScopedEnv path("PATH", dir.path().string());
  EXPECT_TRUE(AskYesNo(nullptr, u"q?", u"Vexo"));
  EXPECT_EQ(WaitForFile(dir.path() / "kdialog.args"), "--title\nVexo\n--yesno\nq?\n");
}

TEST(Launch, InstallerStartsDetachedWithItsParametersSplit) {
  TempFolder dir;
  fs::path installer = RecordingProgram(dir.path(), "vexo setup.exe", 0);
  fs::permissions(installer, fs::perms::owner_read | fs::perms::owner_write);
  ShellOpen(installer.u16string(), u"/S \"/D=C:\\Program Files\\Vexo\"");
  EXPECT_EQ(WaitForFile(dir.path() / "vexo setup.exe.args"), "/S\n/D=C:\\Program Files\\Vexo\n");
  EXPECT_TRUE((fs::status(installer).permissions() & fs::perms::owner_exec) != fs::perms::none);
}

TEST(Launch, MissingFilesAndFoldersAreNotStarted) {
  TempFolder dir;
  ShellOpen((dir.path() / "missing.exe").u16string(), u"");
  ShellOpen(dir.path().u16string(), u"");
  EXPECT_TRUE((fs::status(dir.path()).permissions() & fs::perms::owner_exec) != fs::perms::none);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(ProxyRoute, VariablesNameTheProxyForEachScheme) {
  using Variables = std::map<std::string, std::string>;
  const struct {
    const char* name;
    Variables variables;
    bool secure;
    std::optional<std::string> proxy;  // nullopt: the variables name no proxy at all
    std::string noProxy;
  } cases[] = {
      {"none", {{"no_proxy", "h"}}, false, std::nullopt, ""},
      {"empty", {{"http_proxy", ""}}, false, std::nullopt, ""},
      {"lower case first",
       {{"http_proxy", "http://a:1"}, {"HTTP_PROXY", "http://b:1"}},
       false,
       "http://a:1",
       ""},
      {"upper case", {{"HTTP_PROXY", "http://b:1"}, {"NO_PROXY", "h"}}, false, "http://b:1", "h"},
      {"https",
       {{"http_proxy", "http://a:1"}, {"https_proxy", "http://s:1"}},
       true,
       "http://s:1",
       ""},
      {"the other scheme's only", {{"https_proxy", "http://s:1"}}, false, "", ""},
      {"all_proxy", {{"ALL_PROXY", "socks5://c:1"}, {"no_proxy", "h"}}, true, "socks5://c:1", "h"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto lookup = [&](const char* name) -> std::optional<std::string> {
      auto found = c.variables.find(name);
      if (found == c.variables.end() || found->second.empty())
        return std::nullopt;
      return found->second;
    };
    auto route = posix::ProxyFromVariables(lookup, c.secure);
    ASSERT_EQ(route.has_value(), c.proxy.has_value());
    if (route) {
      EXPECT_EQ(route->proxy, *c.proxy);
      EXPECT_EQ(route->noProxy, c.noProxy);
    }
  }
}

TEST(ProxyRoute, CredentialsComeOutOfTheProxyUrlDecoded) {
  const struct {
    std::string url;
    std::string proxy;
    std::optional<std::string> user;
    std::string password;
  } cases[] = {
      {"http://alice:s3cr%3At%40%2F%25@p:3128", "http://p:3128/", "alice", "s3cr:t@/%"},
      {"p:3128", "p:3128", std::nullopt, ""},
      {"http://bob@p", "http://p/", "bob", ""},
      {"http://a%00b:x@p", "http://a%00b:x@p", std::nullopt, ""},  // libcurl refuses it
      {"socks5://c:%20@s:1080", "socks5://s:1080/", "c", " "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    posix::ProxyRoute route = posix::RouteThrough(c.url);
    EXPECT_EQ(route.proxy, c.proxy);
    EXPECT_EQ(route.userName, c.user);
    EXPECT_EQ(route.password, c.password);
  }
}

TEST(ProxyRoute, FirstUsableEntryOfLibproxysAnswer) {
  const struct {
    std::vector<std::string> answer;
    std::string proxy;
  } cases[] = {
      {{}, ""},
      {{"direct://", "http://p:1"}, ""},
      {{"wpad://", "ftp://f:1", "http://p:1"}, "http://p:1"},
      {{"socks://s:1080"}, "socks5://s:1080"},
      {{"HTTPS://p:1"}, "HTTPS://p:1"},
      {{"garbage"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer.empty() ? "" : c.answer[0]);
    EXPECT_EQ(posix::ProxyFromList(c.answer).proxy, c.proxy);
  }
}

// libproxy, asked in a child process, reads the variables too when nothing else is configured.
TEST(ProxyRoute, LibproxyAnswersFromAChildProcess) {
  ScopedEnv variable("http_proxy", "http://127.0.0.7:7");
  EXPECT_EQ(posix::AskLibproxy("http://127.0.0.1:9/", std::chrono::seconds(10)),
            (std::vector<std::string>{"http://127.0.0.7:7"}));
}

// Every field reaches the transfer program, and a request cut anywhere is refused rather than run
// with what was left.
TEST(TransferRequest, EveryFieldSurvivesAndAnyCutIsRefused) {
  posix::TransferRequest sent;
  sent.connectTimeoutMs = 1;
  sent.receiveTimeoutMs = 2;
  sent.agent = "agent";
  sent.accessType = 3;
  sent.proxy = "http://proxy:3128";
  sent.proxyBypass = "<local>";
  sent.host = "host";
  sent.port = 8080;
  sent.password = "";
  sent.proxyUserName = "proxy user";
  sent.proxyPassword = "proxy password";
  sent.verb = "GET";
  sent.object = "/a?b";
  sent.referrer = "http://referrer/";
  sent.acceptTypes = {"*/*", "text/xml"};
  sent.flags = 0x80000000u;
  sent.addedHeaders = {"Range: bytes=5-"};
  sent.body = std::string("\0body", 5);
  std::string bytes = posix::EncodeRequest(sent);
  posix::TransferRequest got;
  ASSERT_TRUE(posix::DecodeRequest(bytes, got));
  EXPECT_EQ(posix::EncodeRequest(got), bytes);
  EXPECT_FALSE(got.userName.has_value());
  EXPECT_EQ(got.password, "");
  for (size_t length = 0; length < bytes.size(); ++length)
    EXPECT_FALSE(posix::DecodeRequest(std::string_view(bytes).substr(0, length), got)) << length;
  EXPECT_FALSE(posix::DecodeRequest(bytes + "x", got));
}

}  // namespace
}  // namespace vexo::platform
