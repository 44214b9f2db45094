// Starts the real agent program in a throwaway environment of its own (home, data, configuration
// and runtime folders under one temporary folder) and watches it from outside.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace vexo::testing {

// The agent's world: $HOME, $XDG_DATA_HOME, $XDG_CONFIG_DIRS and $XDG_RUNTIME_DIR below one root.
class AgentEnvironment {
 public:
  AgentEnvironment();
  std::filesystem::path root() const { return root_.path(); }
  std::filesystem::path DataFolder() const;  // where the agent keeps its files
  // Writes the machine-wide configuration value `name` (the registry stand-in).
  void SetMachineValue(const std::string& name, const std::string& value);
  // Every file and folder below the root, relative to it (the runtime lock folder excluded).
  std::vector<std::string> Listing() const;
  std::map<std::string, std::string> Variables() const;
  std::map<std::string, std::string> extraVariables;

 private:
  TempFolder root_;
};

class AgentProcess {
 public:
  // Starts `program` with exactly the environment's variables, stdin and stdout on /dev/null.
  AgentProcess(const std::string& program, const AgentEnvironment& environment,
               const std::vector<std::string>& arguments = {});
  ~AgentProcess();  // kills the process if it is still running
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The exit code once the process has ended within `limit`; nullopt while it still runs.
  std::optional<int> WaitForExit(std::chrono::milliseconds limit);
  bool Signal(int signal);

 private:
  pid_t pid_ = -1;
  std::optional<int> exitCode_;
};

}  // namespace vexo::testing
