// Bytes on the wire to deliver one installer when the link is cut part way, with two agent
// programs side by side in one run: one built before downloads resumed ("before") and this
// build's ("after"). Each is the real agent program against a loopback server, in a throwaway
// environment of its own:
//
//   cut, link down    the first run's download is cut at the given share of the file and the link
//                     stays down for the rest of that run; a second run completes the installer
//   cut, link back    the download is cut once and the link is back at once (the same run)
//
// The server counts the installer's body bytes it sends; the ratio is that total over the file's
// size (1.00 is the least any agent can do). Then each program delivers the installer uncut, three
// runs each, alternating: the best time from its request for the installer to the complete
// installer in the data folder, and the highest peak private memory (RssAnon), both sampled every
// 2 ms while it runs.
//
//   resume_bench AGENT_BEFORE AGENT_AFTER [MiB=64]
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/crypto/answer_cipher.h"
#include "agent/crypto/md5.h"
#include "tests/e2e/agent_process.h"
#include "tests/support/fake_http_server.h"

namespace {

using namespace std::chrono_literals;
using vexo::testing::AgentEnvironment;
using vexo::testing::AgentProcess;
using vexo::testing::FakeHttpServer;
using vexo::testing::FakeReply;
namespace fs = std::filesystem;

const std::string kStartTarget = "/client/getData.php?q=start&ver=1.0.6.0&t=setup.exe";
const std::string kPopupTarget = "/client/getData.php?q=popup&ver=1.0.6.0&t=setup.exe";
const std::string kInstallerTarget = "/files/vexo-1.0.7.exe";

std::string GeneratedBody(uint64_t size) {
  std::string body(size, '\0');
  for (uint64_t i = 0; i < size; ++i)
    body[i] = vexo::testing::GeneratedBodyByte(i);
  return body;
}

FakeReply Installer(uint64_t size) {
  FakeReply reply;
  reply.generatedBodySize = size;
  reply.ranges = FakeReply::Ranges::kHonour;
  return reply;
}

FakeReply CutAfter(uint64_t size, uint64_t bytes) {
  FakeReply reply = Installer(size);
  reply.fault = FakeReply::Fault::kCloseAfterBodyBytes;
  reply.faultAfterBodyBytes = bytes;
  return reply;
}

// kB of private resident memory of a running process; 0 when it cannot be read.
long RssAnonKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("RssAnon:", 0) == 0)
      return std::atol(line.c_str() + 8);
  return 0;
}

// How one run of an agent went, watched from outside.
struct RunWatch {
  double seconds = 0;
  long peakAnonKb = 0;
};

FakeReply LinkDown() {
  FakeReply reply = FakeReply::Body(200, "");
  reply.fault = FakeReply::Fault::kCloseWithoutReply;
  return reply;
}

// One agent's world: a server offering the installer, and the agent's folders.
class Scenario {
 public:
  Scenario(const std::string& program, uint64_t size, const std::string& md5)
      : program_(program), size_(size) {
    environment_.SetMachineValue("server", server_.Origin());
    std::string offer =
        "<response><data><software_update><status>y</status><name>vexo-1.0.7.exe</name>"
        "<rname>vexo-setup.exe</rname><force>n</force><param></param><version>1.0.7.0</version>"
        "<url>" +
        server_.Origin() + "/files/</url><md5>" + md5 +
        "</md5></software_update></data></response>";
    server_.Route(kStartTarget, FakeReply::Body(200, vexo::EncipherAnswer(offer)));
    server_.Route(kPopupTarget,
                  FakeReply::Body(200, vexo::EncipherAnswer(
                                           "<response><data><rightdown_popup update_tm_stamp=\"5\" "
                                           "firstdisplay=\"1\"/></data></response>")));
  }

  // One run of the agent with these replies to the installer's requests, until it has made its
  // pop-up query; false when it did not get that far.
  bool Run(std::vector<FakeReply> installerReplies, RunWatch* watch = nullptr) {
    server_.RouteInTurn(kInstallerTarget, std::move(installerReplies));
    size_t popups = Popups();
    size_t downloads = Count(kInstallerTarget);
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> asked, complete;
    AgentProcess agent(program_, environment_);
    auto deadline = Clock::now() + 120s;
    long peakAnonKb = 0;
    while (Popups() == popups && Clock::now() < deadline && !agent.WaitForExit(0ms)) {
      peakAnonKb = std::max(peakAnonKb, RssAnonKb(agent.pid()));
      if (!asked && Count(kInstallerTarget) > downloads)
        asked = Clock::now();
      if (asked && !complete && InstallerComplete())
        complete = Clock::now();
      std::this_thread::sleep_for(2ms);
    }
    if (watch && asked && complete)
      *watch = {std::chrono::duration<double>(*complete - *asked).count(), peakAnonKb};
    bool reached = Popups() > popups;
    agent.Signal(SIGTERM);
    agent.WaitForExit(10s);
    return reached;
  }

  uint64_t InstallerBytesSent() const {
    uint64_t total = 0;
    for (const auto& request : server_.Requests())
      total += request.target == kInstallerTarget ? request.bodyBytesSent : 0;
    return total;
  }
  bool InstallerComplete() const {
    std::error_code error;
    return fs::file_size(environment_.DataFolder() / "vexo-setup.exe", error) == size_ && !error;
  }

 private:
  size_t Count(const std::string& target) const {
    size_t count = 0;
    for (const auto& request : server_.Requests())
      count += request.target == target;
    return count;
  }
  size_t Popups() const { return Count(kPopupTarget); }

  std::string program_;
  uint64_t size_;
  FakeHttpServer server_;
  AgentEnvironment environment_;
};

struct Delivery {
  uint64_t bytes = 0;
  int runs = 0;
};

// The installer's bytes sent until it is complete, and the agent's runs (logons) it took: the
// first run's transfer is cut, later runs find the link up; nullopt when three runs did not do.
std::optional<Delivery> Deliver(const std::string& program, uint64_t size, const std::string& md5,
                                uint64_t cut, bool linkBackAtOnce) {
  Scenario scenario(program, size, md5);
  if (!scenario.Run({CutAfter(size, cut), linkBackAtOnce ? Installer(size) : LinkDown()}))
    return std::nullopt;
  int runs = 1;
  for (; !scenario.InstallerComplete() && runs < 3; ++runs) {
    if (!scenario.Run({Installer(size)}))
      return std::nullopt;
  }
  if (!scenario.InstallerComplete())
    return std::nullopt;
  return Delivery{scenario.InstallerBytesSent(), runs};
}

// One uncut delivery in a fresh world, watched; nullopt when it did not complete.
std::optional<RunWatch> WatchUncut(const std::string& program, uint64_t size,
                                   const std::string& md5) {
  RunWatch run{-1, 0};
  Scenario scenario(program, size, md5);
  if (!scenario.Run({Installer(size)}, &run) || !scenario.InstallerComplete() || run.seconds < 0)
    return std::nullopt;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s AGENT_BEFORE AGENT_AFTER [MiB=64]\n", argv[0]);
    return 2;
  }
  const std::string before = argv[1];
  const std::string after = argv[2];
  const uint64_t size = (argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 64) << 20;
  const std::string md5 = vexo::Md5HexOf(GeneratedBody(size));

  std::printf(
      "installer of %llu MiB: its body bytes sent until it is complete, over its size (runs "
      "of the agent it took)\n",
      static_cast<unsigned long long>(size >> 20));
  std::printf("%-6s %-10s %12s %12s\n", "cut at", "then", "before", "after");
  bool allDelivered = true;
  for (int percent : {25, 50, 90}) {
    uint64_t cut = size * static_cast<uint64_t>(percent) / 100;
    for (bool linkBackAtOnce : {false, true}) {
      std::optional<Delivery> old = Deliver(before, size, md5, cut, linkBackAtOnce);
      std::optional<Delivery> now = Deliver(after, size, md5, cut, linkBackAtOnce);
      auto cell = [&](const std::optional<Delivery>& delivery) {
        char text[32] = "not delivered";
        if (delivery)
          std::snprintf(text, sizeof text, "%.4f (%d)",
                        static_cast<double>(delivery->bytes) / static_cast<double>(size),
                        delivery->runs);
        return std::string(text);
      };
      std::printf("%5d%% %-10s %12s %12s\n", percent, linkBackAtOnce ? "link back" : "link down",
                  cell(old).c_str(), cell(now).c_str());
      allDelivered = allDelivered && old && now;
    }
  }

  std::printf(
      "\nuncut, best of 3 runs: MiB/s from the installer's request to the complete "
      "installer, peak RssAnon\n");
  RunWatch best[2] = {{1e30, 0}, {1e30, 0}};
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 2; ++i) {
      std::optional<RunWatch> run = WatchUncut(i == 0 ? before : after, size, md5);
      allDelivered = allDelivered && run;
      if (run) {
        best[i].seconds = std::min(best[i].seconds, run->seconds);
        best[i].peakAnonKb = std::max(best[i].peakAnonKb, run->peakAnonKb);
      }
    }
  }
  const double mib = static_cast<double>(size >> 20);
  for (int i = 0; i < 2; ++i)
    std::printf("%-6s %8.1f MiB/s  %6.2f s  peak RssAnon %6.2f MiB\n", i == 0 ? "before" : "after",
                mib / best[i].seconds, best[i].seconds,
                static_cast<double>(best[i].peakAnonKb) / 1024.0);
  std::printf("speed ratio (after / before): %.2f\n", best[0].seconds / best[1].seconds);
  return allDelivered ? 0 : 1;
}
