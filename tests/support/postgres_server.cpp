#include "tests/support/postgres_server.h"

#include <pwd.h>
#include <unistd.h>

namespace vexo::testing {
namespace {

const std::string kBinaries = VEXO_POSTGRES_BIN;
const std::string kRunUser = "/usr/sbin/runuser";

}  // namespace

PostgresServer::PostgresServer() {
  // PostgreSQL refuses to run as root: the cluster then belongs to the postgres user.
  if (geteuid() == 0) {
    const passwd* user = getpwnam("postgres");
    if (user == nullptr || chown(folder_.path().c_str(), user->pw_uid, user->pw_gid) != 0) {
      error_ = "running as root, and there is no postgres user to run PostgreSQL";
      return;
    }
    asPostgresUser_ = true;
  }
  if (Run("initdb", {"-D", folder_.File("data"), "-A", "trust", "-U", "postgres", "-E", "UTF8",
                     "--locale=C", "--no-sync"})) {
    Start();
  }
}

PostgresServer::~PostgresServer() {
  if (running_) {
    Stop();
  }
}

bool PostgresServer::Run(const std::string& tool, std::vector<std::string> arguments) {
  std::string program = kBinaries + "/" + tool;
  if (asPostgresUser_) {
    arguments.insert(arguments.begin(), {"-u", "postgres", "--", program});
    program = kRunUser;
  }
  ProgramResult result = RunProgram(program, arguments);
  if (result.exitCode != 0) {
    error_ = tool + " failed (" + std::to_string(result.exitCode) + "): " + result.err;
    return false;
  }
  return true;
}

bool PostgresServer::Start() {
  // No TCP at all, no waiting for the disk: a throwaway cluster.
  running_ =
      Run("pg_ctl", {"-D", folder_.File("data"), "-l", folder_.File("server.log"), "-w", "-o",
                     "-k " + folder_.path().string() + " -c listen_addresses='' -F", "start"});
  return running_;
}

bool PostgresServer::Stop() {
  bool stopped = Run("pg_ctl", {"-D", folder_.File("data"), "-m", "fast", "-w", "stop"});
  running_ = running_ && !stopped;
  return stopped;
}

std::string PostgresServer::CreateDatabase(const std::string& name) {
  Run("createdb", {"-h", folder_.path().string(), "-U", "postgres", name});
  return Uri(name);
}

std::string PostgresServer::Uri(const std::string& database) const {
  std::string socketFolder;
  for (char c : folder_.path().string()) {
    socketFolder += c == '/' ? std::string("%2F") : std::string(1, c);
  }
  return "postgresql://postgres@/" + database + "?host=" + socketFolder;
}

}  // namespace vexo::testing
