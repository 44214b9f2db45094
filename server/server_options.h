// The command line of vexo-server and the listen address it names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexo::server {

// An address to listen on: a numeric IPv4 or IPv6 host and a port (0: any free port).
struct ListenAddress {
  std::string host;  // numeric, without brackets
  uint16_t port = 0;
  bool isIpv6 = false;

  // "127.0.0.1:8080" or "[::1]:8080".
  std::string ToString() const;
  // 127.0.0.0/8 or ::1: reachable from this machine only.
  bool IsLoopback() const;
};

// Reads "A.B.C.D:PORT" or "[IPv6]:PORT". Host names are not accepted: the server binds exactly
// the address it is given, without asking a resolver.
std::optional<ListenAddress> ParseListenAddress(std::string_view text);

// A PEM certificate chain and its private key; both empty: plain HTTP.
struct TlsFiles {
  std::string certificate;
  std::string key;

  bool Given() const { return !certificate.empty(); }
};

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
