#include "server/store/store_connection.h"

#include <algorithm>
#include <charconv>

namespace vexo::server {
namespace {

// Rows per INSERT statement, whose parameters stay well below either backend's limit.
constexpr size_t kRowsPerInsert = 500;

std::string InsertStatement(const char* table, const char* columns, size_t columnCount,
                            size_t rows) {
  std::string sql = std::string("INSERT INTO ") + table + " (" + columns + ") VALUES ";
  size_t parameter = 1;
  for (size_t row = 0; row < rows; ++row) {
    sql += row ? ",(" : "(";
    for (size_t column = 0; column < columnCount; ++column) {
      sql += (column ? ",$" : "$") + std::to_string(parameter++);
    }
    sql += ")";
  }
  return sql;
}

}  // namespace

int64_t ToInteger(const std::string& text) {
  int64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

SqlResult StoreConnection::Append(const char* table, const char* columns, size_t columnCount,
                                  const std::vector<SqlValue>& values) {
  SqlResult result;
  result.ok = true;
  const size_t rows = values.size() / columnCount;
  for (size_t first = 0; first < rows && result.ok; first += kRowsPerInsert) {
    size_t count = std::min(kRowsPerInsert, rows - first);
    auto begin = values.begin() + static_cast<std::ptrdiff_t>(first * columnCount);
    std::vector<SqlValue> parameters(begin,
                                     begin + static_cast<std::ptrdiff_t>(count * columnCount));
    result = Run(InsertStatement(table, columns, columnCount, count), parameters);
  }
  return result;
}

bool IsPostgresLocation(std::string_view location) {
  return location.starts_with("postgresql://") || location.starts_with("postgres://");
}

std::string RedactedLocation(const std::string& location) {
  if (!IsPostgresLocation(location)) {
    return location;
  }
  std::string text = location;
  size_t authority = text.find("://") + 3;
  size_t authorityEnd = text.find_first_of("/?", authority);
  size_t at = text.rfind('@', authorityEnd == std::string::npos ? text.size() : authorityEnd);
  if (at != std::string::npos && at > authority) {
    size_t colon = text.find(':', authority);
    if (colon < at) {
      text.replace(colon + 1, at - colon - 1, "***");
    }
  }
  for (size_t key = text.find("password="); key != std::string::npos;
       key = text.find("password=", key + 1)) {
    size_t value = key + 9;
    size_t end = text.find('&', value);
    text.replace(value, (end == std::string::npos ? text.size() : end) - value, "***");
  }
  return text;
}

std::unique_ptr<StoreConnection> ConnectStore(const std::string& location, std::string& error) {
  return IsPostgresLocation(location) ? ConnectPostgres(location, error)
                                      : ConnectSqlite(location, error);
}

}  // namespace vexo::server
