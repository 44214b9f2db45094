// The shared backend: PostgreSQL through libpq, so that several servers keep one record.
#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>

#include "server/store/store_connection.h"

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

// COPY's text format: tab between values, a newline after each row, and a backslash before any
// of those characters or a backslash within a value. A value ends at a NUL byte, as a text
// parameter of a statement would.
void AppendCopyValue(std::string& data, const SqlValue& value) {
  if (const int64_t* number = std::get_if<int64_t>(&value)) {
    data += std::to_string(*number);
    return;
  }
  for (char c : std::get<std::string>(value)) {
    switch (c) {
      case '\\':
        data += "\\\\";
        break;
      case '\t':
        data += "\\t";
        break;
      case '\n':
        data += "\\n";
        break;
      case '\r':
        data += "\\r";
        break;
      case '\0':
        return;
      default:
        data += c;
    }
  }
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

  // One query for the whole batch: a COPY for each table's rows, which PostgreSQL takes several
  // times faster than INSERTs, then the statements. PostgreSQL runs a query of several
  // statements as one transaction, and the batch costs one round trip plus one for each COPY
  // after the first, where BEGIN, each step and COMMIT would cost one each.
  SqlResult Write(const std::vector<TableRows>& rows,
                  const std::vector<SqlStatement>& statements) override {
    std::vector<const TableRows*> copies;
    std::string sql;
    for (const TableRows& table : rows) {
      if (!table.values.empty()) {
        copies.push_back(&table);
        sql += std::string("COPY ") + table.table + " (" + table.columns + ") FROM STDIN;";
      }
    }
    SqlResult result;
    for (const SqlStatement& statement : statements) {
      if (!AppendWithLiterals(sql, statement, result.error)) {
        return result;
      }
    }
    if (sql.empty()) {
      result.ok = true;
      return result;
    }
    if (!PQsendQuery(connection_, sql.c_str())) {
      result.error = OneLine(PQerrorMessage(connection_));
      return result;
    }
    return ReadBatchResults(copies);
  }

  bool Connected() const override { return !broken_ && PQstatus(connection_) == CONNECTION_OK; }

  bool Reconnect(std::string& error) override {
    PQfinish(connection_);
    connection_ = Connect(uri_);
    broken_ = false;
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

  // Sends the rows in pieces of some tens of kilobytes; false once the connection fails.
  bool SendCopyData(size_t columnCount, const std::vector<SqlValue>& values) {
    constexpr size_t kPieceBytes = 64 * 1024;
    std::string data;
    data.reserve(kPieceBytes + 4096);
    for (size_t i = 0; i < values.size(); ++i) {
      AppendCopyValue(data, values[i]);
      data += (i + 1) % columnCount ? '\t' : '\n';
      if ((data.size() >= kPieceBytes || i + 1 == values.size()) && !Send(data)) {
        return false;
      }
    }
    return true;
  }

  bool Send(std::string& data) {
    bool sent = PQputCopyData(connection_, data.data(), static_cast<int>(data.size())) == 1;
    data.clear();
    return sent;
  }

  // A query sent with COPY data takes no parameters, so each $N is written in as a literal.
  bool AppendWithLiterals(std::string& sql, const SqlStatement& statement, std::string& error) {
    sql += ReplaceParameters(statement.sql, [&](std::string& text, unsigned number) {
      if (number == 0 || number > statement.parameters.size()) {
        error = "no value for the parameter $" + std::to_string(number);
        return;
      }
      const SqlValue& value = statement.parameters[number - 1];
      if (const int64_t* integer = std::get_if<int64_t>(&value)) {
        // In parentheses, so that a negative number after a minus never starts a comment.
        text += "(" + std::to_string(*integer) + ")";
        return;
      }
      // A text parameter ends at a NUL byte, and so does its literal.
      const char* textValue = std::get<std::string>(value).c_str();
      char* literal = PQescapeLiteral(connection_, textValue, std::strlen(textValue));
      if (literal == nullptr) {
        error = OneLine(PQerrorMessage(connection_));
        return;
      }
      text += literal;
      PQfreemem(literal);
    });
    sql += ';';
    return error.empty();
  }

  // Sends each COPY its rows as the server asks for them; the result is the first failure, or
  // the last step's success. Then the connection is idle again.
  SqlResult ReadBatchResults(const std::vector<const TableRows*>& copies) {
    SqlResult result;
    bool answered = false;
    size_t nextCopy = 0;
    while (PGresult* answer = PQgetResult(connection_)) {
      ExecStatusType status = PQresultStatus(answer);
      if (status == PGRES_COPY_IN || status == PGRES_COPY_OUT || status == PGRES_COPY_BOTH) {
        PQclear(answer);
        // A COPY asked for again, or never ended, leaves the connection unusable.
        if (status != PGRES_COPY_IN || nextCopy == copies.size() ||
            !SendRows(*copies[nextCopy++])) {
          broken_ = true;
          break;
        }
        continue;
      }
      if (!answered || result.ok) {
        result = Read(answer);
        answered = true;
      }
      PQclear(answer);
    }
    if (!answered) {
      result.error = OneLine(PQerrorMessage(connection_));
    }
    return result;
  }

  // The rows and the end of the COPY; false when the end could not be sent.
  bool SendRows(const TableRows& rows) {
    bool sent = SendCopyData(rows.columnCount, rows.values);
    return PQputCopyEnd(connection_, sent ? nullptr : "the rows could not be sent") == 1;
  }

  std::string uri_;
  PGconn* connection_;
  bool broken_ = false;
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
