// vexo-server: answers the agents' two queries, serves installers and records check-ins.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "agent/crypto/answer_cipher.h"
#include "server/admin/admin_access.h"
#include "server/admin/admin_router.h"
#include "server/agents/answer_cache.h"
#include "server/agents/content_folder.h"
#include "server/agents/request_router.h"
#include "server/server_options.h"
#include "server/store/checkin_store.h"
#include "server/store/store_connection.h"
#include "server/transport/access_log.h"
#include "server/transport/http_server.h"
#include "server/transport/tls_credentials.h"

namespace vexo::server {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// The statistics are read by a few people, not by every agent.
constexpr unsigned kAdminThreads = 2;

void Warn(const std::string& message) {
  std::fprintf(stderr, "vexo-server: warning: %s\n", message.c_str());
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "vexo-server: %s\n", message.c_str());
  return kExitFailure;
}

// SIGINT and SIGTERM are blocked in every thread and taken by sigwait in the main thread, so
// shutdown runs as ordinary code rather than inside a signal handler.
sigset_t BlockShutdownSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return signals;
}

// More threads than processors: a thread waiting on the access log or the check-in queue then
// holds up fewer connections.
unsigned DefaultThreadCount() {
  unsigned processors = std::thread::hardware_concurrency();
  return std::min(4 * std::max(processors, 1u), 64u);
}

std::string OriginOf(const ListeningSocket& socket, bool tls) {
  return (tls ? "https://" : "http://") + socket.bound.ToString();
}

int Run(const ServerOptions& options) {
  sigset_t shutdownSignals = BlockShutdownSignals();
  std::string error;
  std::unique_ptr<ContentFolder> content = ContentFolder::Open(options.root, error);
  if (!content) {
    return Fail(error);
  }
  if (!content->HasTopLevelAnswers()) {
    Warn("content folder '" + options.root + "' has neither start.xml nor popup.xml");
  }
  prometheus::Registry metrics;
  StoreSettings storeSettings{options.retainDays, options.databaseBacklog, &metrics};
  std::unique_ptr<CheckinStore> checkins =
      CheckinStore::Open(options.databasePath, Warn, error, storeSettings);
  if (!checkins) {
    return Fail("cannot use database '" + RedactedLocation(options.databasePath) + "': " + error);
  }
  std::optional<std::string> adminToken;
  if (!options.adminTokenFile.empty()) {
    adminToken = ReadAdminToken(options.adminTokenFile, error);
    if (!adminToken) {
      return Fail(error);
    }
  }
  std::optional<TlsCredentials> tls, adminTls;
  if (options.tls.Given() && !(tls = LoadTlsCredentials(options.tls, error))) {
    return Fail(error);
  }
  if (options.adminTls.Given() && !(adminTls = LoadTlsCredentials(options.adminTls, error))) {
    return Fail(error);
  }
  std::optional<ListeningSocket> socket = Listen(options.listen, error);
  if (!socket) {
    return Fail(error);
  }
  std::optional<ListeningSocket> adminSocket = Listen(options.adminListen, error);
  if (!adminSocket) {
    close(socket->descriptor);
    return Fail(error);
  }
  std::string boundOrigin = OriginOf(*socket, tls.has_value());
  std::string adminOrigin = OriginOf(*adminSocket, adminTls.has_value());
  AnswerCache answers(
      options.origin.empty() ? boundOrigin : options.origin,
      [](std::string_view plainText) { return EncipherAnswer(plainText); }, Warn);
  RolloutGate rollouts(Warn);
  AgentMetrics agentMetrics(metrics);
  RequestRouter router(*content, answers, rollouts, *checkins, agentMetrics);
  AdminGate gate(std::move(adminToken));
  AdminRouter adminRouter(*checkins, gate, metrics, [&](int64_t now) {
    return ContentRollouts(*content, answers, rollouts, now);
  });
  AccessLog log(stdout);
  unsigned threads = options.threads ? options.threads : DefaultThreadCount();
  std::unique_ptr<HttpServer> server = HttpServer::Start(
      *socket, threads, router, log, tls ? &*tls : nullptr, options.trustedProxies, error);
  if (!server) {
    close(adminSocket->descriptor);
    return Fail(error);
  }
  std::unique_ptr<HttpServer> adminServer =
      HttpServer::Start(*adminSocket, kAdminThreads, adminRouter, log,
                        adminTls ? &*adminTls : nullptr, options.trustedProxies, error);
  if (!adminServer) {
    return Fail(error);
  }
  log.WriteLine("listening on " + boundOrigin);
  log.WriteLine("admin listening on " + adminOrigin);

  int signal = 0;
  sigwait(&shutdownSignals, &signal);
  log.WriteLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
  adminServer.reset();
  server.reset();
  checkins.reset();
  return 0;
}

}  // namespace
}  // namespace vexo::server

int main(int argc, char** argv) {
  using namespace vexo::server;
  CommandLine commandLine = ParseServerCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (commandLine.action) {
    case CommandLineAction::kShowHelp:
      std::fputs(ServerUsage().c_str(), stdout);
      return 0;
    case CommandLineAction::kShowVersion:
      std::puts("vexo-server " VEXO_VERSION);
      return 0;
    case CommandLineAction::kUsageError:
      std::fprintf(stderr, "vexo-server: %s\n%s", commandLine.error.c_str(), ServerUsage().c_str());
      return kExitUsage;
    case CommandLineAction::kRun:
      break;
  }
  return Run(commandLine.options);
}
