// The embedded backend: one SQLite file, written ahead in a log so readers never wait for the
// writer.
#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <span>
#include <string>

#include "server/common/small_file.h"
#include "server/store/store_connection.h"

namespace vexo::server {
namespace {

constexpr int kBusyTimeoutMilliseconds = 5000;

constexpr SqlDialect kSqliteDialect{"INTEGER PRIMARY KEY", "BEGIN IMMEDIATE;", ""};

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  int length = sqlite3_column_bytes(statement, column);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(length))
              : std::string();
}

void Bind(sqlite3_stmt* statement, std::span<const SqlValue> parameters) {
  int count = sqlite3_bind_parameter_count(statement);
  for (int index = 1; index <= count && static_cast<size_t>(index) <= parameters.size(); ++index) {
    const SqlValue& value = parameters[static_cast<size_t>(index - 1)];
    if (const int64_t* number = std::get_if<int64_t>(&value)) {
      sqlite3_bind_int64(statement, index, *number);
    } else {
      const std::string& text = std::get<std::string>(value);
      sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                        SQLITE_STATIC);
    }
  }
}

// SQLite keeps the names of $N and ?N parameters in a list that it searches for each one, so a
// statement of thousands of them costs the square of that; a plain ? takes the next number
// without the list. Each $N becomes ? where N is that next number, else ?N.
std::string AnonymousParameters(const std::string& sql) {
  unsigned highest = 0;
  return ReplaceParameters(sql, [&highest](std::string& text, unsigned number) {
    text += '?';
    if (number != highest + 1) {
      text += std::to_string(number);
    }
    highest = std::max(highest, number);
  });
}

class SqliteConnection : public StoreConnection {
 public:
  explicit SqliteConnection(sqlite3* database) : database_(database) {}
  ~SqliteConnection() override { sqlite3_close(database_); }

  SqlResult Run(const std::string& sql, const std::vector<SqlValue>& parameters) override {
    SqlResult result;
    const std::string text = AnonymousParameters(sql);
    const char* next = text.c_str();
    while (*next != '\0') {
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(database_, next, -1, &statement, &next) != SQLITE_OK) {
        return Failed(result);
      }
      if (statement == nullptr) {
        break;  // only white space or comments were left
      }
      Bind(statement, parameters);
      int step = SQLITE_ROW;
      while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        std::vector<std::string>& row = result.rows.emplace_back();
        for (int column = 0; column < sqlite3_column_count(statement); ++column) {
          row.push_back(ColumnText(statement, column));
        }
      }
      sqlite3_finalize(statement);
      if (step != SQLITE_DONE) {
        return Failed(result);
      }
      result.changedRows = sqlite3_changes(database_);
    }
    result.ok = true;
    return result;
  }

  SqlResult Write(const std::vector<TableRows>& rows,
                  const std::vector<SqlStatement>& statements) override {
    SqlResult result = Run("BEGIN;", {});
    if (!result.ok) {
      return result;
    }
    for (size_t i = 0; i < rows.size() && result.ok; ++i) {
      result = Append(rows[i]);
    }
    for (size_t i = 0; i < statements.size() && result.ok; ++i) {
      result = Run(statements[i].sql, statements[i].parameters);
    }
    if (result.ok) {
      result = Run("COMMIT;", {});
    }
    if (!result.ok) {
      Run("ROLLBACK;", {});
    }
    return result;
  }

  // SQLite has no server to lose, but a write it fails (a locked, full or read-only file, an
  // I/O error, or any other refusal) is taken for the same: what was to be written waits in
  // the store's backlog and is tried again, rather than dropped.
  bool Connected() const override { return !failed_; }
  bool Reconnect(std::string&) override {
    failed_ = false;
    return true;
  }
  const SqlDialect& Dialect() const override { return kSqliteDialect; }

 private:
  SqlResult& Failed(SqlResult& result) {
    result.error = sqlite3_errmsg(database_);
    failed_ = true;
    return result;
  }

  // One statement of one row, stepped for each row: SQLite has no round trips to save, and
  // parsing a statement of hundreds of rows costs more than inserting them.
  SqlResult Append(const TableRows& rows) {
    SqlResult result;
    std::string sql =
        std::string("INSERT INTO ") + rows.table + " (" + rows.columns + ") VALUES (?";
    for (size_t column = 1; column < rows.columnCount; ++column) {
      sql += ",?";
    }
    sql += ")";
    sqlite3_stmt* prepared = nullptr;
    if (sqlite3_prepare_v2(database_, sql.c_str(), -1, &prepared, nullptr) != SQLITE_OK) {
      return Failed(result);
    }
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(prepared, sqlite3_finalize);
    std::span<const SqlValue> rest(rows.values);
    for (; rest.size() >= rows.columnCount; rest = rest.subspan(rows.columnCount)) {
      Bind(statement.get(), rest.first(rows.columnCount));
      if (sqlite3_step(statement.get()) != SQLITE_DONE) {
        return Failed(result);
      }
      sqlite3_reset(statement.get());
      ++result.changedRows;
    }
    result.ok = true;
    return result;
  }

  sqlite3* database_;
  bool failed_ = false;
};

}  // namespace

std::unique_ptr<StoreConnection> ConnectSqlite(const std::string& path, std::string& error) {
  // SQLite would wait on a FIFO and write its pages onto a device.
  if (std::optional<std::string> fault = NotRegularFileFault(path)) {
    error = *fault;
    return nullptr;
  }
  sqlite3* database = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &database, flags, nullptr) != SQLITE_OK) {
    error = database ? sqlite3_errmsg(database) : "out of memory";
    sqlite3_close(database);
    return nullptr;
  }
  sqlite3_busy_timeout(database, kBusyTimeoutMilliseconds);
  std::unique_ptr<StoreConnection> connection = std::make_unique<SqliteConnection>(database);
  // Write-ahead logging with normal synchronisation: a commit is one append, so batches of
  // check-ins cost little and readers of the file (sqlite3, /stats) never block the writer.
  SqlResult setup = connection->Run("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
  if (!setup.ok) {
    error = setup.error;
    return nullptr;
  }
  return connection;
}

}  // namespace vexo::server
