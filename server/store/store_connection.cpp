#include "server/store/store_connection.h"

#include <charconv>

namespace vexo::server {

int64_t ToInteger(const std::string& text) {
  int64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

std::string ReplaceParameters(
    const std::string& sql, const std::function<void(std::string& text, unsigned number)>& write) {
  std::string text;
  text.reserve(sql.size());
  for (size_t i = 0; i < sql.size(); ++i) {
    if (sql[i] != '$' || i + 1 == sql.size() || sql[i + 1] < '0' || sql[i + 1] > '9') {
      text += sql[i];
      continue;
    }
    size_t end = i + 1;
    unsigned number = 0;
    while (end < sql.size() && sql[end] >= '0' && sql[end] <= '9') {
      number = number * 10 + static_cast<unsigned>(sql[end++] - '0');
    }
    write(text, number);
    i = end - 1;
  }
  return text;
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
