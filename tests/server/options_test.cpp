// The command line of vexo-server: every option, listen addresses, faults in one line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "server/server_options.h"

namespace vexo::server {
namespace {

using ::testing::HasSubstr;

TEST(VexoServerCommandLine, ListenAddresses) {
  struct Case {
    const char* text;
    bool valid;
    const char* host;
    uint16_t port;
  };
  const Case cases[] = {
      {"127.0.0.1:8080", true, "127.0.0.1", 8080},
      {"0.0.0.0:0", true, "0.0.0.0", 0},
      {"[::1]:65535", true, "::1", 65535},
      {"127.0.0.1:65536", false, "", 0},
      {"127.0.0.1:", false, "", 0},
      {"127.0.0.1", false, "", 0},
      {":8080", false, "", 0},
      {"localhost:8080", false, "", 0},
      {"999.0.0.1:80", false, "", 0},
      {"127.0.0.1:+80", false, "", 0},
      {"127.0.0.1:8o", false, "", 0},
      {"127.0.0.1:080808", false, "", 0},
      {"::1:80", false, "", 0},
      {"[::1]80", false, "", 0},
      {"[127.0.0.1]:80", false, "", 0},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.text);
    std::optional<ListenAddress> address = ParseListenAddress(row.text);
    ASSERT_EQ(address.has_value(), row.valid);
    if (row.valid) {
      EXPECT_EQ(address->host, row.host);
      EXPECT_EQ(address->port, row.port);
      EXPECT_EQ(address->ToString(), row.text);
    }
  }
}

TEST(VexoServerCommandLine, OptionsAndFaults) {
  struct Case {
    std::vector<std::string> arguments;
    CommandLineAction action;
    const char* errorPart;
  };
  const Case cases[] = {
      {{"--root", "content"}, CommandLineAction::kRun, ""},
      {{"--root=content", "--listen=[::1]:0", "--db=x.db"}, CommandLineAction::kRun, ""},
      {{"--help"}, CommandLineAction::kShowHelp, ""},
      {{"--root", "c", "--version"}, CommandLineAction::kShowVersion, ""},
      {{}, CommandLineAction::kUsageError, "--root is required"},
      {{"--root"}, CommandLineAction::kUsageError, "--root needs a value"},
      {{"--root", ""}, CommandLineAction::kUsageError, "--root needs a folder"},
      {{"--root", "c", "--port", "80"},
       CommandLineAction::kUsageError,
       "unknown argument '--port'"},
      {{"--root", "c", "extra"}, CommandLineAction::kUsageError, "unknown argument 'extra'"},
      {{"--root", "c", "--listen", "8080"},
       CommandLineAction::kUsageError,
       "malformed listen address '8080'"},
      {{"--root", "c", "--origin", "ftp://x"}, CommandLineAction::kUsageError, "malformed origin"},
      {{"--root", "c", "--origin", "http://a b"},
       CommandLineAction::kUsageError,
       "malformed origin"},
      {{"--root", "c", "--threads", "0"}, CommandLineAction::kUsageError, "--threads"},
      {{"--root", "c", "--db", ""}, CommandLineAction::kUsageError, "--db needs a file name"},
      {{"--root", "c", "--retain-days", "-1"}, CommandLineAction::kUsageError, "--retain-days"},
      {{"--root", "c", "--retain-days", "36501"}, CommandLineAction::kUsageError, "--retain-days"},
      {{"--root", "c", "--db-backlog", "0"}, CommandLineAction::kUsageError, "--db-backlog"},
      {{"--root", "c", "--trusted-proxy", "10.0.0.0/8,::1"}, CommandLineAction::kRun, ""},
      {{"--root", "c", "--trusted-proxy", "10.0.0.0/8,lb.example"},
       CommandLineAction::kUsageError,
       "--trusted-proxy: 'lb.example' is not an address range"},
      {{"--root", "c", "--tls-cert", "c.pem"}, CommandLineAction::kUsageError, "go together"},
      {{"--root", "c", "--admin-tls-key", "k.pem"}, CommandLineAction::kUsageError, "go together"},
      {{"--root", "c", "--admin-listen", "[::1]:0", "--admin-insecure-http"},
       CommandLineAction::kRun,
       ""},
      {{"--root", "c", "--admin-listen", "127.9.9.9:1"}, CommandLineAction::kRun, ""},
      {{"--root", "c", "--admin-listen", "0.0.0.0:8081"},
       CommandLineAction::kUsageError,
       "admin address 0.0.0.0:8081 is not loopback: give --admin-token-file"},
      {{"--root", "c", "--admin-listen", "[::]:1", "--admin-insecure-http"},
       CommandLineAction::kUsageError,
       "give --admin-token-file"},
      {{"--root", "c", "--admin-listen", "10.0.0.1:1", "--admin-token-file", "t"},
       CommandLineAction::kUsageError,
       "give --admin-tls-cert and --admin-tls-key (or --tls-cert and --tls-key), or "
       "--admin-insecure-http"},
      {{"--root", "c", "--admin-listen", "10.0.0.1:1", "--admin-token-file", "t",
        "--admin-insecure-http"},
       CommandLineAction::kRun,
       ""},
      {{"--root", "c", "--admin-listen", "10.0.0.1:1", "--admin-token-file", "t", "--tls-cert", "c",
        "--tls-key", "k"},
       CommandLineAction::kRun,
       ""},
      {{"--root", "c", "--admin-insecure-http=yes"},
       CommandLineAction::kUsageError,
       "unknown argument '--admin-insecure-http=yes'"},
      // Words are taken in order: what comes first decides.
      {{"--help", "--port"}, CommandLineAction::kShowHelp, ""},
      {{"--port", "--help"}, CommandLineAction::kUsageError, "unknown argument '--port'"},
      {{"--port", "--root"}, CommandLineAction::kUsageError, "unknown argument '--port'"},
      {{"--root", "", "--db"}, CommandLineAction::kUsageError, "--root needs a folder"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(::testing::PrintToString(row.arguments));
    CommandLine parsed = ParseServerCommandLine(row.arguments);
    EXPECT_EQ(parsed.action, row.action);
    EXPECT_THAT(parsed.error, HasSubstr(row.errorPart));
  }
}

TEST(VexoServerCommandLine, ValuesReachTheOptions) {
  CommandLine parsed =
      ParseServerCommandLine({"--root", "/srv/c", "--listen", "127.0.0.1:0", "--db", "/tmp/a.db",
                              "--origin", "http://updates.example:8080/", "--threads", "4",
                              "--retain-days", "0", "--db-backlog", "12"});
  ASSERT_EQ(parsed.action, CommandLineAction::kRun);
  EXPECT_EQ(parsed.options.root, "/srv/c");
  EXPECT_EQ(parsed.options.listen.port, 0);
  EXPECT_EQ(parsed.options.databasePath, "/tmp/a.db");
  EXPECT_EQ(parsed.options.origin, "http://updates.example:8080");  // trailing slash dropped
  EXPECT_EQ(parsed.options.threads, 4u);
  EXPECT_EQ(parsed.options.retainDays, 0);
  EXPECT_EQ(parsed.options.databaseBacklog, 12u);
  EXPECT_EQ(ParseServerCommandLine({"--root", "c"}).options.retainDays, 90);
  EXPECT_EQ(parsed.options.adminListen.ToString(), "127.0.0.1:8081");

  CommandLine ownPair = ParseServerCommandLine({"--root=c", "--tls-cert=a.pem", "--tls-key=a.key",
                                                "--admin-tls-cert=b.pem", "--admin-tls-key=b.key",
                                                "--admin-token-file=t", "--admin-listen=[::1]:9"});
  ASSERT_EQ(ownPair.action, CommandLineAction::kRun) << ownPair.error;
  EXPECT_EQ(ownPair.options.tls.certificate, "a.pem");
  EXPECT_EQ(ownPair.options.adminTls.key, "b.key");
  EXPECT_EQ(ownPair.options.adminTokenFile, "t");
  CommandLine sharedPair =
      ParseServerCommandLine({"--root=c", "--tls-cert=a.pem", "--tls-key=a.key"});
  EXPECT_EQ(sharedPair.options.adminTls.certificate, "a.pem");
  EXPECT_EQ(sharedPair.options.adminTls.key, "a.key");
}

TEST(VexoServerCommandLine, EveryOptionInTheSynopsis) {
  std::string usage = ServerUsage();
  std::string synopsis = usage.substr(0, usage.find("\n\n"));
  for (const ServerOption& option : ServerOptionTable()) {
    SCOPED_TRACE(option.name);
    std::string name = option.name;
    EXPECT_TRUE(synopsis.find(name + " ") != std::string::npos ||
                synopsis.find(name + "]") != std::string::npos);
  }
}

}  // namespace
}  // namespace vexo::server
