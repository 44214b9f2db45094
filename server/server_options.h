// The command line of vexo-server.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "server/transport/listen_address.h"
#include "server/transport/tls_credentials.h"

namespace vexo::server {

struct ServerOptions {
  std::string root;
  ListenAddress listen{"127.0.0.1", 8080, false};
  std::string databasePath = "vexo-checkins.db";  // or a postgresql:// URI
  int retainDays = 90;
  size_t databaseBacklog = 100000;
  std::string origin;    // empty: the scheme followed by the bound address
  unsigned threads = 0;  // 0: four per processor
  TlsFiles tls;          // of the agents' listener

  // The statistics' own listener.
  ListenAddress adminListen{"127.0.0.1", 8081, false};
  std::string adminTokenFile;      // empty: no credential asked for
  TlsFiles adminTls;               // the agents' pair unless given on its own
  bool adminInsecureHttp = false;  // a public admin address without TLS, by explicit choice
};

enum class CommandLineAction { kRun, kShowHelp, kShowVersion, kUsageError };

struct CommandLine {
  CommandLineAction action = CommandLineAction::kUsageError;
  ServerOptions options;
  std::string error;  // for kUsageError: one line naming the fault
};

// Accepts "--name value" and "--name=value" forms.
CommandLine ParseServerCommandLine(const std::vector<std::string>& arguments);

std::string ServerUsage();

}  // namespace vexo::server
