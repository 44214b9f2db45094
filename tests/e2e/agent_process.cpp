#include "agent_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace vexo::testing {
namespace fs = std::filesystem;

AgentEnvironment::AgentEnvironment() {
  for (const char* folder : {"home", "data", "config", "runtime"}) {
    fs::create_directories(root() / folder);
  }
  fs::permissions(root() / "runtime", fs::perms::owner_all, fs::perm_options::replace);
}

fs::path AgentEnvironment::DataFolder() const {
  return root() / "data" / "vexo";
}

void AgentEnvironment::SetMachineValue(const std::string& name, const std::string& value) {
  fs::create_directories(root() / "config" / "vexo");
  std::ofstream(root() / "config" / "vexo" / name, std::ios::binary) << value << "\n";
}

std::vector<std::string> AgentEnvironment::Listing() const {
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root())) {
    std::string relative = fs::relative(entry.path(), root()).string();
    if (relative.rfind("runtime", 0) == 0)
      continue;
    entries.push_back(relative);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::map<std::string, std::string> AgentEnvironment::Variables() const {
  std::map<std::string, std::string> variables = {
      {"HOME", (root() / "home").string()},
      {"XDG_DATA_HOME", (root() / "data").string()},
      {"XDG_CONFIG_DIRS", (root() / "config").string()},
      {"XDG_RUNTIME_DIR", (root() / "runtime").string()},
      {"PATH", "/usr/bin:/bin"},
      {"LANG", "C.UTF-8"},
  };
  for (const auto& [name, value] : extraVariables)
    variables[name] = value;
  return variables;
}

AgentProcess::AgentProcess(const std::string& program, const AgentEnvironment& environment,
                           const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envp;
  for (const auto& [name, value] : environment.Variables())
    envp.push_back(name + "=" + value);
  auto pointers = [](std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts)
      result.push_back(text.data());
    result.push_back(nullptr);
    return result;
  };
  auto argvPointers = pointers(argv);
  auto envPointers = pointers(envp);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  // A new session: the agent has no controlling terminal, like a program started at logon.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  int rc = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argvPointers.data(),
                       envPointers.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0)
    throw std::runtime_error("cannot start " + program);
}

AgentProcess::~AgentProcess() {
  if (!exitCode_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::optional<int> AgentProcess::WaitForExit(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!exitCode_) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return exitCode_;
}

bool AgentProcess::Signal(int signal) {
  return !exitCode_ && kill(pid_, signal) == 0;
}

}  // namespace vexo::testing
