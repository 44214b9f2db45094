// Test support: a PostgreSQL server of the test's own. A fresh cluster in a private folder, run
// by an unprivileged user (postgres when the tests run as root), reachable only through a Unix
// socket in that folder, and stopped and removed with the object.
#pragma once

#include <string>

#include "tests/support/program_runner.h"

namespace vexo::testing {

class PostgresServer {
 public:
  PostgresServer();  // creates and starts the cluster; see error()
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // Empty while the server works; else what went wrong.
  const std::string& error() const { return error_; }

  bool Stop();
  bool Start();

  // Creates an empty database and returns its postgresql:// URI.
  std::string CreateDatabase(const std::string& name);
  std::string Uri(const std::string& database) const;

 private:
  bool Run(const std::string& tool, std::vector<std::string> arguments);

  TempFolder folder_;
  std::string error_;
  bool asPostgresUser_ = false;
  bool running_ = false;
};

}  // namespace vexo::testing
