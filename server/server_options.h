// The command line of vexo-server.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/transport/client_address.h"
#include "server/transport/listen_address.h"
#include "server/transport/tls_credentials.h"

namespace vexo::server {

struct ServerOptions {
  std::string root;
  ListenAddress listen{"127.0.0.1", 8080, false};
  std::string databasePath = "vexo-checkins.db";  // or a postgresql:// URI
  int retainDays = 90;
  size_t databaseBacklog = 100000;
  std::string origin;             // empty: the scheme followed by the bound address
  unsigned threads = 0;           // 0: four per processor
  TlsFiles tls;                   // of the agents' listener
  TrustedProxies trustedProxies;  // whose forwarding headers name the client

  // The statistics' own listener.
  ListenAddress adminListen{"127.0.0.1", 8081, false};
  std::string adminTokenFile;      // empty: no credential asked for
  TlsFiles adminTls;               // the agents' pair unless given on its own
  bool adminInsecureHttp = false;  // a public admin address without TLS, by explicit choice
};

// The parts of --help an option is listed in.
enum class ServerOptionGroup { kAgents, kAdmin, kRecord };

// One option: the parser, --help, and through --help the man page and configuration file
// checks all read these rows.
struct ServerOption {
  ServerOptionGroup group;
  const char* name;   // "--root"
  const char* value;  // its value in --help, "DIR"; nullptr for a flag, which takes none
  const char* help;   // lines separated by '\n'
  // Stores the value (empty for a flag); the fault in one line when it is not acceptable.
  std::optional<std::string> (*apply)(std::string_view name, const std::string& value,
                                      ServerOptions& into);
};

std::span<const ServerOption> ServerOptionTable();

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
