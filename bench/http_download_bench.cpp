// Downloads one large body from a loopback server over and over: through CHttpClientT/ReadContent
// in 64 KiB reads, and with the curl command line, each discarding the bytes; then as the agent
// downloads an installer (into a partial file that becomes the installer, resumable), against
// curl writing the same file. Each runs in a process of its own, watched from here: wall time,
// peak resident memory (the kernel's high-water mark, of the process or of any child it waited
// for) and peak private memory (the anonymous memory of the process and of every process under
// it, each page shared between them counted once: Pss_Anon summed, sampled from /proc while it
// runs).
//
//   http_download_bench [MiB=256] [rounds=3]
//   http_download_bench client URL              (the child that runs the library)
//   http_download_bench installer URL FOLDER    (the child that downloads as the agent does)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/installer_download.h"
#include "http/http_client.h"
#include "tests/support/fake_http_server.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int RunClient(const char* url) {
  std::string narrow(url);
  std::u16string wide(narrow.begin(), narrow.end());
  std::vector<uint8_t> buffer(64 * 1024);
  uint64_t total = 0;
  try {
    vexo::CHttpClientT client;
    std::unique_ptr<vexo::CHttpResponseT> response(client.Get(wide.c_str(), false));
    while (uint32_t n = response->ReadContent(buffer.data(), static_cast<uint32_t>(buffer.size())))
      total += n;
  } catch (const vexo::httpclientexceptionW& e) {
    std::fprintf(stderr, "client: code %d, platform error %u\n", e.Code(), e.SystemError());
    return 1;
  }
  std::printf("%llu\n", static_cast<unsigned long long>(total));
  return 0;
}

int RunInstallerDownload(const char* url, const char* folder) {
  std::string narrow(url);
  std::u16string wide(narrow.begin(), narrow.end());
  std::u16string installer = (std::filesystem::path(folder) / "setup.exe").u16string();
  vexo::DownloadInstaller(wide, installer,
                          vexo::PartialPathFor(installer, u"0123456789abcdef0123456789abcdef"));
  std::error_code error;
  std::printf("%llu\n",
              static_cast<unsigned long long>(std::filesystem::file_size(installer, error)));
  return error ? 1 : 0;
}

// kB value of a "Name:" line of /proc/<pid>/<file>; -1 when it cannot be read.
long ProcKb(pid_t pid, const char* file, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/" + file);
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, name.size() + 1, name + ":") == 0)
      return std::atol(line.c_str() + name.size() + 1);
  return -1;
}

// The processes started by `pid`'s threads, and theirs, and so on.
void AddDescendants(pid_t pid, std::vector<pid_t>& into) {
  std::error_code error;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream children(task.path() / "children");
    pid_t child = 0;
    while (children >> child) {
      into.push_back(child);
      AddDescendants(child, into);
    }
  }
}

long TreeAnonKb(pid_t pid) {
  std::vector<pid_t> tree{pid};
  AddDescendants(pid, tree);
  long total = 0;
  for (pid_t member : tree)
    total += std::max(0L, ProcKb(member, "smaps_rollup", "Pss_Anon"));
  return total;
}

struct Run {
  double seconds = 0;
  long peakRssKb = 0;
  long peakAnonKb = 0;
  bool ok = false;
};

Run Watch(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (auto& a : argv)
    args.push_back(a.data());
  args.push_back(nullptr);
  Run run;
  auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
    return run;
  int status = 0;
  rusage usage{};
  for (;;) {
    pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid)
      break;
    run.peakAnonKb = std::max(run.peakAnonKb, TreeAnonKb(pid));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.peakRssKb = usage.ru_maxrss;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

void Report(const char* name, const Run& best, const Run& worstMemory, double mib) {
  std::printf("%-10s %9.1f MiB/s  peak RSS %6.1f MiB  peak private %6.2f MiB\n", name,
              mib / best.seconds, static_cast<double>(worstMemory.peakRssKb) / 1024.0,
              static_cast<double>(worstMemory.peakAnonKb) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "client")
    return RunClient(argv[2]);
  if (argc == 4 && std::string(argv[1]) == "installer")
    return RunInstallerDownload(argv[2], argv[3]);
  const uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;

  vexo::testing::FakeHttpServer server;
  vexo::testing::FakeReply reply;
  reply.generatedBodySize = mib * 1024 * 1024;
  server.Route("/big", reply);
  const std::string url = server.Origin() + "/big";
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0)
    return 1;
  self[length] = 0;

  const std::string folder =
      std::filesystem::temp_directory_path() / ("http_download_bench." + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::string file = folder + "/setup.exe";
  struct Contender {
    const char* name;
    std::vector<std::string> argv;
    Run best;
    Run worstMemory;
  };
  std::vector<Contender> contenders = {
      {"vexo_http", {self, "client", url}, {}, {}},
      {"curl", {"curl", "-s", "-o", "/dev/null", url}, {}, {}},
      {"agent", {self, "installer", url, folder}, {}, {}},
      {"curl -o", {"curl", "-s", "-o", file, url}, {}, {}},
  };
  for (Contender& contender : contenders)
    contender.best.seconds = 1e30;
  for (int round = 0; round < rounds; ++round) {
    for (Contender& contender : contenders) {
      std::filesystem::remove(file);
      Run run = Watch(contender.argv);
      if (!run.ok) {
        std::fprintf(stderr, "a download failed (%s)\n", contender.name);
        std::filesystem::remove_all(folder);
        return 1;
      }
      if (run.seconds < contender.best.seconds)
        contender.best = run;
      contender.worstMemory.peakRssKb = std::max(contender.worstMemory.peakRssKb, run.peakRssKb);
      contender.worstMemory.peakAnonKb = std::max(contender.worstMemory.peakAnonKb, run.peakAnonKb);
    }
  }
  std::filesystem::remove_all(folder);
  std::printf("%llu MiB body over loopback, best of %d rounds, 64 KiB reads\n",
              static_cast<unsigned long long>(mib), rounds);
  for (const Contender& contender : contenders)
    Report(contender.name, contender.best, contender.worstMemory, static_cast<double>(mib));
  std::printf("throughput ratio (vexo_http / curl): %.2f\n",
              contenders[1].best.seconds / contenders[0].best.seconds);
  std::printf("throughput ratio (agent into its data folder / curl -o): %.2f\n",
              contenders[3].best.seconds / contenders[2].best.seconds);
  return 0;
}
