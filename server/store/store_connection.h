// One connection to the database that holds the check-ins, behind which sits SQLite (a file) or
// PostgreSQL (a postgresql:// URI). Both take the same SQL: parameters written $1, $2, …, each
// a 64-bit integer or a text, and results read as text.
#pragma once

#include <cstdint>
#include <functional>
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

struct SqlStatement {
  std::string sql;
  std::vector<SqlValue> parameters;
};

// Rows of `columnCount` values each, taken from `values` one row after the other.
struct TableRows {
  const char* table;
  const char* columns;  // as they are listed after the table's name
  size_t columnCount;
  std::vector<SqlValue> values;
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

  // In one transaction, adds each `TableRows` to its table and then runs `statements`, in the
  // fewest exchanges with the database that the backend allows. Either all is written or
  // nothing is. The result is the first failure, or the success of the last step.
  virtual SqlResult Write(const std::vector<TableRows>& rows,
                          const std::vector<SqlStatement>& statements) = 0;

  // False once the database server has gone away; Reconnect tries once to get it back.
  virtual bool Connected() const = 0;
  virtual bool Reconnect(std::string& error) = 0;

  virtual const SqlDialect& Dialect() const = 0;
};

// A result's text read as an integer: its leading decimal digits (sign allowed), else 0.
int64_t ToInteger(const std::string& text);

// `sql` with each parameter $N replaced by what `write` appends to the text for N. The SQL given
// to a connection is the program's own, with no $ in its quoted texts.
std::string ReplaceParameters(const std::string& sql,
                              const std::function<void(std::string& text, unsigned number)>& write);

// True for postgresql:// and postgres:// URIs; anything else names an SQLite file.
bool IsPostgresLocation(std::string_view location);

// `location` with any password replaced, fit for messages.
std::string RedactedLocation(const std::string& location);

// Null, with `error` set in one line, when the database cannot be opened or reached.
std::unique_ptr<StoreConnection> ConnectStore(const std::string& location, std::string& error);

std::unique_ptr<StoreConnection> ConnectSqlite(const std::string& path, std::string& error);
std::unique_ptr<StoreConnection> ConnectPostgres(const std::string& uri, std::string& error);

}  // namespace vexo::server
