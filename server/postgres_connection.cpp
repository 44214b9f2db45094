// The shared backend: PostgreSQL through libpq, so that several servers keep one record.
#include <libpq-fe.h>

#include <cstdlib>

#include "server/store_connection.h"

namespace vexo::server {
namespace {

// Two servers starting at once must not both create the tables; this key names the lock.
constexpr SqlDialect kPostgresDialect{"BIGSERIAL PRIMARY KEY",
                                      "BEGIN; SELECT pg_advisory_xact_lock(7305766500386012011);",
                                      " COLLATE \"C\""};

// Defaults that a URI may override: a dead host is given up on rather than waited for.
constexpr const char* kDefaultKeywords[] = {"connect_timeout", "keepalives_idle",
                                            "keepalives_interval", "keepalives_count",
                                            "tcp_user_timeout"};
constexpr const char* kDefaultValues[] = {"5", "10", "5", "3", "15000"};
constexpr size_t kDefaultCount = std::size(kDefaultKeywords);

std::string OneLine(const char* message) {
  std::string text = message ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  for (char& c : text) {
    if (c == '\n' || c == '\t') {
      c = ' ';
    }
  }
  return text.empty() ? "unknown PostgreSQL error" : text;
}

PGconn* Connect(const std::string& uri) {
  const char* keywords[kDefaultCount + 2];
  const char* values[kDefaultCount + 2];
  for (size_t i = 0; i < kDefaultCount; ++i) {
    keywords[i] = kDefaultKeywords[i];
    values[i] = kDefaultValues[i];
  }
  // The URI comes after the defaults, so whatever it sets wins.
  keywords[kDefaultCount] = "dbname";
  values[kDefaultCount] = uri.c_str();
  keywords[kDefaultCount + 1] = nullptr;
  values[kDefaultCount + 1] = nullptr;
  PGconn* connection = PQconnectdbParams(keywords, values, 1);
  // Notices such as "relation already exists, skipping" are the expected course at each start.
  PQsetNoticeProcessor(
      connection, [](void*, const char*) {}, nullptr);
  return connection;
}

class PostgresConnection : public StoreConnection {
 public:
  PostgresConnection(std::string uri, PGconn* connection)
      : uri_(std::move(uri)), connection_(connection) {}
  ~PostgresConnection() override { PQfinish(connection_); }

  SqlResult Run(const std::string& sql, const std::vector<SqlValue>& parameters) override {
    std::vector<std::string> texts;
    texts.reserve(parameters.size());
    for (const SqlValue& value : parameters) {
      const int64_t* number = std::get_if<int64_t>(&value);
      texts.push_back(number ? std::to_string(*number) : std::get<std::string>(value));
    }
    std::vector<const char*> pointers;
    pointers.reserve(texts.size());
    for (const std::string& text : texts) {
      pointers.push_back(text.c_str());
    }
    PGresult* answer = parameters.empty() ? PQexec(connection_, sql.c_str())
                                          : PQexecParams(connection_, sql.c_str(),
                                                         static_cast<int>(pointers.size()), nullptr,
                                                         pointers.data(), nullptr, nullptr, 0);
    SqlResult result = Read(answer);
    PQclear(answer);
    return result;
  }

  bool Connected() const override { return PQstatus(connection_) == CONNECTION_OK; }

  bool Reconnect(std::string& error) override {
    PQfinish(connection_);
    connection_ = Connect(uri_);
    if (PQstatus(connection_) != CONNECTION_OK) {
      error = OneLine(PQerrorMessage(connection_));
      return false;
    }
    return true;
  }

  const SqlDialect& Dialect() const override { return kPostgresDialect; }

 private:
  SqlResult Read(PGresult* answer) const {
    SqlResult result;
    ExecStatusType status = PQresultStatus(answer);
    if (answer == nullptr || (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)) {
      const char* message = answer ? PQresultErrorMessage(answer) : nullptr;
      result.error = OneLine(message && *message ? message : PQerrorMessage(connection_));
      return result;
    }
    for (int row = 0; row < PQntuples(answer); ++row) {
      std::vector<std::string>& values = result.rows.emplace_back();
      for (int column = 0; column < PQnfields(answer); ++column) {
        values.emplace_back(PQgetvalue(answer, row, column),
                            static_cast<size_t>(PQgetlength(answer, row, column)));
      }
    }
    result.changedRows = std::atoll(PQcmdTuples(answer));
    result.ok = true;
    return result;
  }

  std::string uri_;
  PGconn* connection_;
};

}  // namespace

std::unique_ptr<StoreConnection> ConnectPostgres(const std::string& uri, std::string& error) {
  PGconn* connection = Connect(uri);
  if (connection == nullptr) {
    error = "out of memory";
    return nullptr;
  }
  if (PQstatus(connection) != CONNECTION_OK) {
    error = OneLine(PQerrorMessage(connection));
    PQfinish(connection);
    return nullptr;
  }
  return std::make_unique<PostgresConnection>(uri, connection);
}

}  // namespace vexo::server
