// One connection to the database that holds the check-ins, behind which sits SQLite (a file) or
// PostgreSQL (a postgresql:// URI). Both take the same SQL: parameters written $1, $2, …, each
// a 64-bit integer or a text, and results read as text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vexo::server {

using SqlValue = std::variant<int64_t, std::string>;

struct SqlResult {
  bool ok = false;
  std::vector<std::vector<std::string>> rows;
  int64_t changedRows = 0;
  std::string error;  // one line
};

// What the backends' SQL differs in.
struct SqlDialect {
  const char* rowIdColumn;  // a primary key numbering rows as they are inserted
  // Starts the transaction that creates or upgrades the schema, one process at a time.
  const char* beginSchemaChange;
  // Appended to a text column in ORDER BY so that both sort by bytes alike.
  const char* binaryOrder;
};

class StoreConnection {
 public:
  virtual ~StoreConnection() = default;

  // Runs `sql` (several statements only without parameters).
  virtual SqlResult Run(const std::string& sql, const std::vector<SqlValue>& parameters = {}) = 0;

  // Adds rows of `columnCount` values each, taken from `values` one row after the other, to
  // `table` within the transaction under way, in the way the backend does that fastest.
  virtual SqlResult Append(const char* table, const char* columns, size_t columnCount,
                           const std::vector<SqlValue>& values) = 0;

  // False once the database server has gone away; Reconnect tries once to get it back.
  virtual bool Connected() const = 0;
  virtual bool Reconnect(std::string& error) = 0;

  virtual const SqlDialect& Dialect() const = 0;
};

// A result's text read as an integer: its leading decimal digits (sign allowed), else 0.
int64_t ToInteger(const std::string& text);

// True for postgresql:// and postgres:// URIs; anything else names an SQLite file.
bool IsPostgresLocation(std::string_view location);

// `location` with any password replaced, fit for messages.
std::string RedactedLocation(const std::string& location);

// Null, with `error` set in one line, when the database cannot be opened or reached.
std::unique_ptr<StoreConnection> ConnectStore(const std::string& location, std::string& error);

std::unique_ptr<StoreConnection> ConnectSqlite(const std::string& path, std::string& error);
std::unique_ptr<StoreConnection> ConnectPostgres(const std::string& uri, std::string& error);

}  // namespace vexo::server
