// The real agent against the real vexo-server speaking HTTPS with certificates of a throwaway
// test CA: a certificate the agent trusts carries the whole run; one from an unknown CA, for
// another host or out of date makes each query fail, so nothing is downloaded or launched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/program_runner.h"
#include "tests/support/squid_proxy.h"

namespace vexo::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

const std::string kStartQuery = "GET /client/getData.php?q=start&ver=1.0.6.0&t=setup.exe";

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

template <typename Done>
bool WaitFor(Done done, std::chrono::seconds limit) {
  for (auto deadline = std::chrono::steady_clock::now() + limit;
       std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms)) {
    if (done()) {
      return true;
    }
  }
  return done();
}

// One agent's world (home, data, configuration and runtime folders) and the server it asks,
// serving the example content with its offer forced, so that the installer starts without a
// question.
class World {
 public:
  World(const std::string& certificate, const std::string& key,
        const std::vector<std::string>& trust) {
    fs::copy(VEXO_EXAMPLE_CONTENT, folder_.File("content"), fs::copy_options::recursive);
    std::string start = ReadFile(folder_.File("content/start.xml"));
    start.replace(start.find("<force>n</force>"), 16, "<force>y</force>");
    WriteFile(folder_.File("content/start.xml"), start);
    for (const char* name : {"home", "data", "config/vexo", "runtime"}) {
      fs::create_directories(folder_.File(name));
    }
    fs::permissions(folder_.File("runtime"), fs::perms::owner_all);
    StartServer(certificate, key);
    StartAgent(trust);
  }

  std::string InstallerRuns() const {
    return ReadFile(folder_.File("data/vexo/installer-runs.log"));
  }
  bool InstallerPresent() const { return fs::exists(folder_.File("data/vexo/vexo-setup.exe")); }
  std::string ServerOutput() const { return server_ ? server_->Output() : ""; }
  std::string ServerErrors() const { return server_ ? server_->Errors() : ""; }
  // "127.0.0.1:<port>", as a proxy's CONNECT names the server.
  std::string Authority() const { return origin_.substr(std::string("https://").size()); }

 private:
  void StartServer(const std::string& certificate, const std::string& key) {
    server_.emplace(VEXO_SERVER_PATH,
                    std::vector<std::string>{"--root", folder_.File("content"), "--listen",
                                             "127.0.0.1:0", "--admin-listen", "127.0.0.1:0", "--db",
                                             folder_.File("checkins.db"), "--tls-cert", certificate,
                                             "--tls-key", key});
    std::string first = server_->FirstLine();
    ASSERT_TRUE(first.starts_with("listening on https://127.0.0.1:")) << server_->Errors();
    origin_ = first.substr(std::string("listening on ").size());
    WriteFile(folder_.File("config/vexo/server"), origin_ + "\n");
  }

  void StartAgent(const std::vector<std::string>& trust) {
    std::vector<std::string> arguments{"-i",
                                       "HOME=" + folder_.File("home"),
                                       "XDG_DATA_HOME=" + folder_.File("data"),
                                       "XDG_CONFIG_DIRS=" + folder_.File("config"),
                                       "XDG_RUNTIME_DIR=" + folder_.File("runtime"),
                                       "PATH=/usr/bin:/bin"};
    arguments.insert(arguments.end(), trust.begin(), trust.end());
    arguments.push_back(VEXO_AGENT_PROGRAM);
    agent_.emplace("/usr/bin/env", arguments);
  }

  TempFolder folder_;
  std::string origin_;
  std::optional<BackgroundProgram> server_;  // declared first: the agent stops first
  std::optional<BackgroundProgram> agent_;
};

class HttpsRun : public ::testing::Test {
 protected:
  // Made once for the suite; a failure here is reported by every test's SetUp.
  static void SetUpTestSuite() {
    certificates_ = new TempFolder;
    ProgramResult made =
        RunProgram("/bin/bash", {VEXO_TEST_CERTIFICATES_SCRIPT, certificates_->path()});
    certificateFault_ = made.err;
    ASSERT_EQ(made.exitCode, 0) << made.err;
    // A folder of hashed CA certificates, as SSL_CERT_DIR names.
    fs::create_directory(Certificate("hashed"));
    ProgramResult hash =
        RunProgram("/usr/bin/openssl", {"x509", "-hash", "-noout", "-in", Certificate("ca.pem")});
    ASSERT_EQ(hash.exitCode, 0) << hash.err;
    fs::copy_file(Certificate("ca.pem"),
                  Certificate("hashed/" + hash.out.substr(0, hash.out.find('\n')) + ".0"));
    certificatesMade_ = true;
  }
  static void TearDownTestSuite() { delete certificates_; }
  static std::string Certificate(const std::string& name) { return certificates_->File(name); }

  void SetUp() override { ASSERT_TRUE(certificatesMade_) << certificateFault_; }

  static TempFolder* certificates_;
  static bool certificatesMade_;
  static std::string certificateFault_;
};

TempFolder* HttpsRun::certificates_ = nullptr;
bool HttpsRun::certificatesMade_ = false;
std::string HttpsRun::certificateFault_;

// Each row in a world of its own, all at once.
TEST_F(HttpsRun, TrustedCertificateCarriesTheWholeRun) {
  const struct {
    const char* name;
    std::vector<std::string> trust;
  } cases[] = {
      {"CA file", {"SSL_CERT_FILE=" + Certificate("ca.pem")}},
      {"CA folder", {"SSL_CERT_DIR=/nonexistent:" + Certificate("hashed")}},
  };
  std::vector<std::unique_ptr<World>> worlds;
  for (const auto& row : cases) {
    worlds.push_back(
        std::make_unique<World>(Certificate("server.pem"), Certificate("server.key"), row.trust));
  }
  for (size_t i = 0; i < worlds.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    World& world = *worlds[i];
    EXPECT_TRUE(WaitFor([&] { return !world.InstallerRuns().empty(); }, 20s))
        << world.ServerErrors();
    EXPECT_THAT(world.InstallerRuns(), HasSubstr("[/S] [/source=update]"));
    EXPECT_TRUE(WaitFor([&] { return Count(world.ServerOutput(), "q=popup") == 1; }, 10s));
    std::string log = world.ServerOutput();
    EXPECT_EQ(Count(log, kStartQuery), 1u);
    EXPECT_EQ(Count(log, "GET /files/vexo-setup-1.0.7.0.exe HTTP/1.1\" 200 "), 1u);
  }
}

TEST_F(HttpsRun, RefusedCertificateLeavesNothingDownloadedOrLaunched) {
  const struct {
    const char* name;
    const char* certificate;
    std::vector<std::string> trust;
    bool refusalLogged;  // the handshake fails on the server's side too
  } cases[] = {
      {"unknown CA", "stranger.pem", {"SSL_CERT_FILE=" + Certificate("ca.pem")}, true},
      {"another host", "other-host.pem", {"SSL_CERT_FILE=" + Certificate("ca.pem")}, false},
      {"expired", "expired.pem", {"SSL_CERT_FILE=" + Certificate("ca.pem")}, true},
      {"the system's store", "server.pem", {}, true},
  };
  auto started = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<World>> worlds;
  for (const auto& row : cases) {
    worlds.push_back(std::make_unique<World>(Certificate(row.certificate),
                                             Certificate("server.key"), row.trust));
  }
  // Both queries are tried (two and three seconds after the start), each refused.
  for (size_t i = 0; i < worlds.size(); ++i) {
    if (cases[i].refusalLogged) {
      EXPECT_TRUE(WaitFor(
          [&] { return Count(worlds[i]->ServerErrors(), "vexo-server: http: ") >= 2; }, 15s))
          << cases[i].name;
    }
  }
  std::this_thread::sleep_until(started + 4500ms);
  for (size_t i = 0; i < worlds.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(worlds[i]->ServerOutput().find("GET "), std::string::npos)
        << worlds[i]->ServerOutput();
    EXPECT_THAT(worlds[i]->InstallerRuns(), Not(HasSubstr("started")));
    EXPECT_FALSE(worlds[i]->InstallerPresent());
  }
}

// Through a proxy the agent opens a tunnel and checks the certificate against the server's own
// name, exactly as without one; a proxy that refuses the credentials opens no tunnel.
TEST_F(HttpsRun, ThroughAProxyTheTunnelStillChecksTheCertificate) {
  SquidProxy proxy(SquidProxy::Auth::kBasic, "alice", "tunnel");
  ASSERT_TRUE(proxy.Started()) << proxy.Errors();
  const struct {
    const char* name;
    const char* certificate;
    const char* password;
    size_t tunnels;  // opened for the requests: the download is one when the queries get through
  } cases[] = {
      {"the server's own", "server.pem", "tunnel", 3},
      {"another host's", "other-host.pem", "tunnel", 2},
      {"credentials refused", "server.pem", "wrong", 0},
  };
  std::vector<std::unique_ptr<World>> worlds;
  for (const auto& row : cases) {
    worlds.push_back(std::make_unique<World>(
        Certificate(row.certificate), Certificate("server.key"),
        std::vector<std::string>{
            "SSL_CERT_FILE=" + Certificate("ca.pem"),
            "https_proxy=http://alice:" + std::string(row.password) + "@" + proxy.Address()}));
  }
  auto connects = [&](const World& world, const std::string& result) {
    return proxy.Count({result + " CONNECT " + world.Authority() + " "});
  };
  for (size_t i = 0; i < worlds.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    World& world = *worlds[i];
    // Each tunnel is asked for once without credentials and once with them; refused, each of
    // the two queries is tried once.
    size_t refusals = cases[i].tunnels == 0 ? 4 : cases[i].tunnels;
    EXPECT_TRUE(WaitFor([&] { return connects(world, "") == cases[i].tunnels + refusals; }, 20s))
        << proxy.AccessLog();
    if (cases[i].tunnels == 3) {
      EXPECT_TRUE(WaitFor([&] { return !world.InstallerRuns().empty(); }, 10s));
      EXPECT_EQ(Count(world.ServerOutput(), "GET "), 3u) << world.ServerOutput();
    } else {
      std::this_thread::sleep_for(1s);  // time enough for a retry to show itself
      EXPECT_EQ(world.ServerOutput().find("GET "), std::string::npos) << world.ServerOutput();
      EXPECT_FALSE(world.InstallerPresent());
      EXPECT_THAT(world.InstallerRuns(), Not(HasSubstr("started")));
    }
    EXPECT_EQ(connects(world, "TCP_TUNNEL/200"), cases[i].tunnels) << proxy.AccessLog();
    EXPECT_EQ(connects(world, "/407"), refusals) << proxy.AccessLog();
  }
}

}  // namespace
}  // namespace vexo::testing
