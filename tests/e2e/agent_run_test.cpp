// The real agent program against a loopback server: the two queries and their order and timing,
// the update it carries out, the pop-up answer's effect on its life, and hostile answers.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "agent/crypto/answer_cipher.h"
#include "agent/crypto/md5.h"
#include "agent_process.h"
#include "tests/support/fake_http_server.h"
#include "tests/support/squid_proxy.h"
#include "tests/support/update_test_keys.h"

namespace vexo::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string kStartTarget = "/client/getData.php?q=start&ver=1.0.6.0&t=setup.exe";
const std::string kPopupTarget = "/client/getData.php?q=popup&ver=1.0.6.0&t=setup.exe";

std::string ReadAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

class AgentRunTest : public ::testing::Test {
 protected:
  AgentRunTest() {
    environment.SetMachineValue("server", server.Origin());
    fs::create_directories(Tools());
    // The installer records its arguments where the test can read them.
    installer = "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + (Tools() / "installer.args").string() +
                "\"\n# " + std::string(400, '#') + "\n";
    server.Route("/files/vexo-1.0.7.exe", FakeReply::Body(200, installer));
  }

  fs::path Tools() const { return environment.root() / "tools"; }

  // A desktop session whose question program answers Yes (status 0) or No.
  void AnswerQuestionsWith(bool yes) {
    std::ofstream(Tools() / "zenity")
        << "#!/bin/sh\necho asked >> \"" << (Tools() / "asked").string() << "\"\nexit "
        << (yes ? 0 : 1) << "\n";
    fs::permissions(Tools() / "zenity", fs::perms::owner_all);
    environment.extraVariables["DISPLAY"] = ":77";
    environment.extraVariables["PATH"] = Tools().string() + ":/usr/bin:/bin";
  }
  int QuestionsAsked() const {
    std::string asked = ReadAll(Tools() / "asked");
    return static_cast<int>(std::count(asked.begin(), asked.end(), '\n'));
  }

  std::string Offer(const std::string& version, const std::string& md5, bool force = false,
                    const std::string& rname = "vexo-setup.exe",
                    const std::string& signature = "") {
    return "<response><data><software_update><status>y</status><name>vexo-1.0.7.exe</name>"
           "<rname>" +
           rname + "</rname><force>" + (force ? "y" : "n") +
           "</force>"
           "<param>/S \"/D=C:\\Program Files\\Vexo\"</param><version>" +
           version +
           "</version>"
           "<url>" +
           server.Origin() + "/files/</url><md5>" + md5 + "</md5>" +
           (signature.empty() ? "" : "<signature>" + signature + "</signature>") +
           "</software_update></data></response>";
  }
  void Serve(const std::string& target, const std::string& xml) {
    server.Route(target, FakeReply::Body(200, EncipherAnswer(xml)));
  }
  void ServePopupAccepted() {
    Serve(kPopupTarget,
          "<response><data><rightdown_popup update_tm_stamp=\"5\" firstdisplay=\"1\">"
          "<item url=\"http://h/p\" maxdisplaytime=\"3\"/></rightdown_popup></data></response>");
  }

  // Runs the agent until it has made both queries (or `limit` passes) and returns it running.
  std::unique_ptr<AgentProcess> RunUntilBothQueries(const char* program = VEXO_AGENT_PROGRAM,
                                                    std::chrono::seconds limit = 20s) {
    size_t popupsBefore = PopupQueries();
    auto agent = std::make_unique<AgentProcess>(program, environment);
    for (auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
      if (PopupQueries() > popupsBefore || agent->WaitForExit(0ms))
        break;
      std::this_thread::sleep_for(20ms);
    }
    std::this_thread::sleep_for(300ms);  // the pop-up answer's handling
    return agent;
  }
  size_t PopupQueries() const {
    size_t count = 0;
    for (const auto& request : server.Requests()) {
      count += request.target.find("q=popup") != std::string::npos;
    }
    return count;
  }
  std::vector<std::string> Targets() const {
    std::vector<std::string> targets;
    for (const auto& request : server.Requests())
      targets.push_back(request.target);
    return targets;
  }
  void Stop(AgentProcess& agent) {
    ASSERT_TRUE(agent.Signal(SIGTERM)) << "the agent had ended on its own";
    EXPECT_EQ(agent.WaitForExit(10s), std::optional<int>(1));
  }
  // The origin as squid names it in its access log, followed by `target`.
  std::string ThroughProxy(const std::string& target) const { return server.Origin() + target; }
  fs::path InstallerFile() const { return environment.DataFolder() / "vexo-setup.exe"; }
  // Removes what an earlier run of the same test left: the data folder and the records.
  void ForgetEarlierRuns() {
    fs::remove_all(environment.DataFolder());
    fs::remove(Tools() / "asked");
    fs::remove(Tools() / "installer.args");
  }

  FakeHttpServer server;
  AgentEnvironment environment;
  std::string installer;
};

TEST_F(AgentRunTest, QueriesComeInOrderAboutTwoAndThenOneSecondApart) {
  std::vector<Clock::duration> arrivals;
  AgentProcess agent(VEXO_AGENT_PROGRAM, environment);
  auto start = Clock::now();
  for (auto deadline = start + 20s; Clock::now() < deadline && arrivals.size() < 2;) {
    if (server.Requests().size() > arrivals.size())
      arrivals.push_back(Clock::now() - start);
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(arrivals.size(), 2u);
  EXPECT_GE(arrivals[0], 1900ms);
  EXPECT_GE(arrivals[1] - arrivals[0], 900ms);
  EXPECT_EQ(Targets(), (std::vector<std::string>{kStartTarget, kPopupTarget}));
  // Nothing more: each query is made once per run.
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[0].Header("User-Agent"),
            std::optional<std::string>("Tavel HTTP Client Class"));
  Stop(agent);
}

TEST_F(AgentRunTest, TheRegisteredApplicationNameIsReported) {
  environment.SetMachineValue("application", "VexoCalendar.exe");
  auto agent = RunUntilBothQueries();
  EXPECT_EQ(Targets(), (std::vector<std::string>{
                           "/client/getData.php?q=start&ver=1.0.6.0&t=VexoCalendar.exe",
                           "/client/getData.php?q=popup&ver=1.0.6.0&t=VexoCalendar.exe"}));
  Stop(*agent);
}

TEST_F(AgentRunTest, NewerOfferIsDownloadedAskedAboutAndLaunchedWithItsParameters) {
  AnswerQuestionsWith(true);
  Serve(kStartTarget, Offer("1.0.7.0", Md5HexOf(installer)));
  ServePopupAccepted();
  auto agent = RunUntilBothQueries();
  EXPECT_EQ(Targets(),
            (std::vector<std::string>{kStartTarget, "/files/vexo-1.0.7.exe", kPopupTarget}));
  EXPECT_EQ(ReadAll(InstallerFile()), installer);
  EXPECT_EQ(QuestionsAsked(), 1);
  std::string args;
  for (int i = 0; i < 100 && args.empty(); ++i, std::this_thread::sleep_for(50ms)) {
    args = ReadAll(Tools() / "installer.args");
  }
  EXPECT_EQ(args, "/S\n/D=C:\\Program Files\\Vexo\n");
  Stop(*agent);
}

TEST_F(AgentRunTest, ForcedOfferIsLaunchedWithoutAQuestion) {
  AnswerQuestionsWith(false);
  Serve(kStartTarget, Offer("1.0.7.0", Md5HexOf(installer), /*force=*/true));
  auto agent = RunUntilBothQueries();
  EXPECT_EQ(QuestionsAsked(), 0);
  std::string args;
  for (int i = 0; i < 100 && args.empty(); ++i, std::this_thread::sleep_for(50ms)) {
    args = ReadAll(Tools() / "installer.args");
  }
  EXPECT_FALSE(args.empty());
  Stop(*agent);
}

TEST_F(AgentRunTest, OffersThatMustNotBeLaunched) {
  const struct {
    const char* name;
    std::string version;
    bool rightDigest;
    bool answerYes;
    bool downloads;
    bool asks;
  } cases[] = {
      {"same version", "1.0.6.0", true, true, false, false},
      {"older version", "1.0.5", true, true, false, false},
      {"malformed version", "1.0.x", true, true, false, false},
      {"digest mismatch", "1.0.7.0", false, true, true, false},
      {"user says no", "1.0.7.0", true, false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ForgetEarlierRuns();
    AnswerQuestionsWith(c.answerYes);
    Serve(kStartTarget,
          Offer(c.version, c.rightDigest ? Md5HexOf(installer) : std::string(32, '0')));
    size_t before = server.Requests().size();
    auto agent = RunUntilBothQueries();
    auto targets = Targets();
    std::vector<std::string> mine(targets.begin() + static_cast<long>(before), targets.end());
    EXPECT_EQ(std::count(mine.begin(), mine.end(), "/files/vexo-1.0.7.exe"), c.downloads ? 1 : 0);
    EXPECT_EQ(QuestionsAsked(), c.asks ? 1 : 0);
    EXPECT_FALSE(fs::exists(Tools() / "installer.args"));
    Stop(*agent);
  }
}

// The pinned program trusts the two test keys; the default program looks at no signature.
TEST_F(AgentRunTest, PinnedAgentLaunchesOnlyInstallersItsKeysVouchFor) {
  using testing::PinnedTestSeed;
  using testing::SignatureFor;
  const struct {
    const char* name;
    const char* program;
    std::string signature;
    bool present;
    bool launched;
  } cases[] = {
      {"first key", VEXO_PINNED_AGENT_PROGRAM,
       SignatureFor(PinnedTestSeed(1), u"1.0.7.0", installer), false, true},
      {"second key, installer present", VEXO_PINNED_AGENT_PROGRAM,
       SignatureFor(PinnedTestSeed(2), u"1.0.7.0", installer), true, true},
      {"no signature", VEXO_PINNED_AGENT_PROGRAM, "", false, false},
      {"unpinned key", VEXO_PINNED_AGENT_PROGRAM,
       SignatureFor(testing::UnpinnedTestSeed(), u"1.0.7.0", installer), false, false},
      {"default program, unpinned key", VEXO_AGENT_PROGRAM,
       SignatureFor(testing::UnpinnedTestSeed(), u"1.0.7.0", installer), false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ForgetEarlierRuns();
    AnswerQuestionsWith(true);
    if (c.present) {
      fs::create_directories(environment.DataFolder());
      std::ofstream(InstallerFile(), std::ios::binary) << installer;
    }
    Serve(kStartTarget,
          Offer("1.0.7.0", Md5HexOf(installer), false, "vexo-setup.exe", c.signature));
    size_t before = server.Requests().size();
    auto agent = RunUntilBothQueries(c.program);
    auto targets = Targets();
    EXPECT_EQ(std::count(targets.begin() + static_cast<long>(before), targets.end(),
                         "/files/vexo-1.0.7.exe"),
              c.present ? 0 : 1);
    EXPECT_EQ(QuestionsAsked(), c.launched ? 1 : 0);
    std::string args;
    for (int i = 0; i < 40 && c.launched && args.empty(); ++i, std::this_thread::sleep_for(50ms))
      args = ReadAll(Tools() / "installer.args");
    EXPECT_EQ(args.empty(), !c.launched);
    Stop(*agent);
  }
}

TEST_F(AgentRunTest, UntrustworthyDownloadsAreNeitherKeptNorLaunched) {
  FakeReply chunked = FakeReply::Body(200, installer);
  chunked.framing = FakeReply::Framing::kChunked;
  FakeReply shortRead = FakeReply::Body(200, installer);
  shortRead.fault = FakeReply::Fault::kCloseAfterBodyBytes;
  shortRead.faultAfterBodyBytes = 100;
  for (const FakeReply& reply : {chunked, shortRead}) {
    ForgetEarlierRuns();
    AnswerQuestionsWith(true);
    server.Route("/files/vexo-1.0.7.exe", reply);
    Serve(kStartTarget, Offer("1.0.7.0", Md5HexOf(installer)));
    auto agent = RunUntilBothQueries();
    EXPECT_FALSE(fs::exists(InstallerFile()));
    EXPECT_EQ(QuestionsAsked(), 0);
    EXPECT_FALSE(fs::exists(Tools() / "installer.args"));
    Stop(*agent);
  }
}

// A download cut in one run (the link then stays down) is finished by the next run, which asks
// only for the rest; only then is the installer asked about and launched.
TEST_F(AgentRunTest, ACutDownloadIsFinishedByTheNextRun) {
  const std::string target = "/files/vexo-1.0.7.exe";
  const size_t cut = 300;
  AnswerQuestionsWith(true);
  Serve(kStartTarget, Offer("1.0.7.0", Md5HexOf(installer)));
  ServePopupAccepted();
  FakeReply cutShort = FakeReply::Body(200, installer);
  cutShort.fault = FakeReply::Fault::kCloseAfterBodyBytes;
  cutShort.faultAfterBodyBytes = cut;
  FakeReply down = FakeReply::Body(200, "");
  down.fault = FakeReply::Fault::kCloseWithoutReply;
  server.RouteInTurn(target, {cutShort, down});
  Stop(*RunUntilBothQueries());
  const fs::path partial =
      environment.DataFolder() / ("vexo-setup.exe." + Md5HexOf(installer) + ".partial");
  EXPECT_EQ(ReadAll(partial), installer.substr(0, cut));
  EXPECT_FALSE(fs::exists(InstallerFile()));
  EXPECT_EQ(QuestionsAsked(), 0);

  FakeReply rest = FakeReply::Body(200, installer);
  rest.ranges = FakeReply::Ranges::kHonour;
  server.Route(target, rest);
  const size_t before = server.Requests().size();
  auto agent = RunUntilBothQueries();
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), before + 3);
  const RecordedRequest& download = requests[before + 1];
  EXPECT_EQ(download.target, target);
  EXPECT_EQ(download.Header("Range"), std::optional<std::string>("bytes=300-"));
  EXPECT_EQ(download.bodyBytesSent, installer.size() - cut);
  EXPECT_EQ(ReadAll(InstallerFile()), installer);
  EXPECT_FALSE(fs::exists(partial));
  EXPECT_EQ(QuestionsAsked(), 1);
  std::string args;
  for (int i = 0; i < 100 && args.empty(); ++i, std::this_thread::sleep_for(50ms))
    args = ReadAll(Tools() / "installer.args");
  EXPECT_FALSE(args.empty());
  Stop(*agent);
}

TEST_F(AgentRunTest, RejectedPopupAnswerEndsTheAgentWithOne) {
  Serve(kPopupTarget, "<response><errcode>-1</errcode></response>");
  AgentProcess agent(VEXO_AGENT_PROGRAM, environment);
  EXPECT_EQ(agent.WaitForExit(20s), std::optional<int>(1));
  EXPECT_EQ(Targets(), (std::vector<std::string>{kStartTarget, kPopupTarget}));
}

TEST_F(AgentRunTest, FailedQueriesLeaveTheAgentResident) {
  FakeReply reset = FakeReply::Body(200, "");
  reset.fault = FakeReply::Fault::kResetWithoutReply;
  server.Route(kStartTarget, reset);
  server.Route(kPopupTarget, reset);
  auto agent = RunUntilBothQueries();
  EXPECT_EQ(Targets(), (std::vector<std::string>{kStartTarget, kPopupTarget}));
  EXPECT_FALSE(agent->WaitForExit(1500ms).has_value());
  Stop(*agent);
}

TEST_F(AgentRunTest, HostileAnswersChangeNothingOutsideTheDataFolder) {
  std::string huge(300000, '<');
  std::string garbage;
  for (int i = 0; i < 5000; ++i)
    garbage.push_back(static_cast<char>((i * 131 + 7) % 256));
  const std::string answers[] = {
      EncipherAnswer(Offer("1.0.7.0", Md5HexOf(installer), true, "../../escaped.exe")),
      EncipherAnswer(Offer("1.0.7.0", Md5HexOf(installer), true, "/tmp/escaped.exe")),
      EncipherAnswer(Offer("1.0.7.0", Md5HexOf(installer), true, "")),
      huge,
      garbage,
      EncipherAnswer(std::string(200000, 'x')),
  };
  for (const std::string& body : answers) {
    ForgetEarlierRuns();
    server.Route(kStartTarget, FakeReply::Body(200, body));
    auto before = environment.Listing();
    auto agent = RunUntilBothQueries();
    for (const auto& entry : environment.Listing()) {
      bool known = std::find(before.begin(), before.end(), entry) != before.end();
      EXPECT_TRUE(known || entry.rfind("data", 0) == 0)
          << "written outside the data folder: " << entry;
    }
    EXPECT_FALSE(fs::exists(environment.root() / "escaped.exe"));
    EXPECT_FALSE(fs::exists(Tools() / "installer.args"));
    Stop(*agent);
  }
}

// GNOME's proxy settings as libproxy reads them, from a GSettings keyfile in the agent's home;
// loopback addresses are not left out, as GNOME leaves them out by default.
std::map<std::string, std::string> GnomeProxySettings(const AgentEnvironment& environment,
                                                      const std::string& host, uint16_t port,
                                                      const std::string& user,
                                                      const std::string& password) {
  std::ofstream(environment.root() / "home/.config/glib-2.0/settings/keyfile")
      << "[system/proxy]\nmode='manual'\nignore-hosts=@as []\n[system/proxy/http]\nhost='" << host
      << "'\nport=" << port << "\nuse-authentication=true\nauthentication-user='" << user
      << "'\nauthentication-password='" << password << "'\n";
  return {{"DESKTOP_SESSION", "gnome"}, {"GSETTINGS_BACKEND", "keyfile"}};
}

// Squid lets only alice through, with this password, whatever scheme it asks for.
const std::string kProxyPassword = "s3cr:t@/%";
const std::string kProxyPasswordEncoded = "s3cr%3At%40%2F%25";

TEST_F(AgentRunTest, ProxiesCarryTheWholeRunWithTheCredentialsTheyAskFor) {
  const struct {
    const char* name;
    SquidProxy::Auth auth;
    const char* variable;  // null: the desktop's settings
  } cases[] = {
      {"Basic, http_proxy", SquidProxy::Auth::kBasic, "http_proxy"},
      {"Digest, HTTP_PROXY", SquidProxy::Auth::kDigest, "HTTP_PROXY"},
      {"NTLM, http_proxy", SquidProxy::Auth::kNtlm, "http_proxy"},
      {"Basic, GNOME's settings", SquidProxy::Auth::kBasic, nullptr},
  };
  Serve(kStartTarget, Offer("1.0.7.0", Md5HexOf(installer), /*force=*/true));
  ServePopupAccepted();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ForgetEarlierRuns();
    SquidProxy proxy(c.auth, "alice", kProxyPassword);
    ASSERT_TRUE(proxy.Started()) << proxy.Errors();
    fs::create_directories(environment.root() / "home/.config/glib-2.0/settings");
    environment.extraVariables =
        c.variable != nullptr
            ? std::map<std::string, std::string>{{c.variable,
                                                  "http://alice:" + kProxyPasswordEncoded + "@" +
                                                      proxy.Address()}}
            : GnomeProxySettings(environment, "127.0.0.1", proxy.Port(), "alice", kProxyPassword);
    size_t before = server.Requests().size();
    auto agent = RunUntilBothQueries();
    std::string args;
    for (int i = 0; i < 100 && args.empty(); ++i, std::this_thread::sleep_for(50ms))
      args = ReadAll(Tools() / "installer.args");
    EXPECT_FALSE(args.empty()) << "the installer was not launched";
    for (const std::string& target :
         {kStartTarget, std::string("/files/vexo-1.0.7.exe"), kPopupTarget}) {
      EXPECT_EQ(proxy.Count({"/200 GET " + ThroughProxy(target) + " ", "alice"}), 1u)
          << proxy.AccessLog();
    }
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), before + 3);
    for (const auto& entry : fs::recursive_directory_iterator(environment.DataFolder())) {
      if (entry.is_regular_file())
        EXPECT_EQ(ReadAll(entry.path()).find("s3cr"), std::string::npos) << entry.path();
    }
    // The agent's own header lines, and no credentials: they were for the proxy alone.
    for (size_t i = before; i < requests.size(); ++i) {
      std::vector<std::string> names;
      for (const auto& [name, value] : requests[i].headers)
        names.push_back(name);
      std::sort(names.begin(), names.end());
      EXPECT_EQ(names, (std::vector<std::string>{"Accept", "Cache-Control", "Connection", "Host",
                                                 "Pragma", "User-Agent"}));
    }
    Stop(*agent);
  }
}

TEST_F(AgentRunTest, ProxyRefusingTheCredentialsFailsEachQueryOnce) {
  SquidProxy proxy(SquidProxy::Auth::kBasic, "alice", kProxyPassword);
  ASSERT_TRUE(proxy.Started()) << proxy.Errors();
  environment.extraVariables["http_proxy"] = "http://alice:wrong@" + proxy.Address();
  Serve(kStartTarget, Offer("1.0.7.0", Md5HexOf(installer), /*force=*/true));
  AgentProcess agent(VEXO_AGENT_PROGRAM, environment);
  auto refused = [&](const std::string& target) {
    return proxy.Count({"/407 GET " + ThroughProxy(target)});
  };
  for (auto deadline = Clock::now() + 20s; Clock::now() < deadline && refused(kPopupTarget) == 0;)
    std::this_thread::sleep_for(50ms);
  std::this_thread::sleep_for(2s);  // time enough for any retry or download to show itself
  EXPECT_TRUE(server.Requests().empty());
  // Without credentials, then with them: nothing more, however often the proxy refuses.
  EXPECT_EQ(refused(kStartTarget), 2u) << proxy.AccessLog();
  EXPECT_EQ(refused(kPopupTarget), 2u) << proxy.AccessLog();
  EXPECT_EQ(proxy.Count({" GET "}), 4u) << proxy.AccessLog();
  EXPECT_FALSE(fs::exists(InstallerFile()));
  EXPECT_FALSE(fs::exists(Tools() / "installer.args"));
  Stop(agent);
}

}  // namespace
}  // namespace vexo::testing
