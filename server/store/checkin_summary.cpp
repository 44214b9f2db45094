#include "server/store/checkin_summary.h"

#include <algorithm>

#include "server/common/utc_day.h"
#include "server/store/store_connection.h"

namespace vexo::server {
namespace {

// Rows of the check-ins-per-day-and-version series: hostile agents could send endless versions.
constexpr int64_t kMaxSeriesRows = 5000;

}  // namespace

CheckinSummary ReadCheckinSummary(StoreConnection& reader, size_t rowsPerList, size_t recentCount,
                                  std::string& error) {
  CheckinSummary summary;
  auto query = [&](const std::string& sql, std::vector<SqlValue> parameters = {}) {
    SqlResult result = reader.Run(sql, parameters);
    if (!result.ok && error.empty()) {
      error = result.error;
    }
    return result.rows;
  };
  const std::string order = reader.Dialect().binaryOrder;
  auto limit = static_cast<int64_t>(rowsPerList);
  auto countBy = [&](const char* column) {
    std::vector<CountRow> rows;
    for (const auto& row :
         query(std::string("SELECT ") + column + ", count(*) AS n FROM checkins GROUP BY " +
                   column + " ORDER BY n DESC, " + column + order + " LIMIT $1;",
               {limit})) {
      rows.push_back({row[0], ToInteger(row[1])});
    }
    return rows;
  };
  for (const auto& row : query("SELECT count(*) FROM checkins;")) {
    summary.total = ToInteger(row[0]);
  }
  summary.perQuery = countBy("query");
  summary.perVersion = countBy("ver");
  summary.perApplication = countBy("t");
  for (const auto& row : query("SELECT at / 86400 AS day, count(*) FROM checkins GROUP BY day "
                               "ORDER BY day DESC LIMIT $1;",
                               {limit})) {
    summary.perDay.push_back({FormatDay(ToInteger(row[0])), ToInteger(row[1])});
  }
  for (const auto& row : query("SELECT at, query, ver, t, client, status FROM checkins "
                               "ORDER BY id DESC LIMIT $1;",
                               {static_cast<int64_t>(recentCount)})) {
    summary.recent.push_back(
        {ToInteger(row[0]), row[1], row[2], row[3], row[4], static_cast<int>(ToInteger(row[5]))});
  }
  // The series end on the latest day with data, so an idle server still shows its history.
  auto firstSeriesDay = [&](const char* table, const char* where) -> int64_t {
    auto rows = query(std::string("SELECT max(at) / 86400 FROM ") + table + where + ";");
    return rows.empty() ? 0 : (ToInteger(rows[0][0]) - kSeriesDays + 1) * kSecondsPerDay;
  };
  for (const auto& row :
       query("SELECT at / 86400 AS day, ver, count(*) FROM checkins WHERE query = 'start' AND "
             "at >= $1 GROUP BY day, ver ORDER BY day DESC, ver" +
                 order + " DESC LIMIT $2;",
             {firstSeriesDay("checkins", " WHERE query = 'start'"), kMaxSeriesRows})) {
    summary.startsPerDayByVersion.push_back(
        {FormatDay(ToInteger(row[0])), row[1], ToInteger(row[2])});
  }
  std::reverse(summary.startsPerDayByVersion.begin(), summary.startsPerDayByVersion.end());
  // Fresh downloads start at the file's first byte, resumed ones after it.
  for (const auto& row :
       query("SELECT at / 86400 AS day,"
             " sum(CASE WHEN resumed_from = 0 THEN complete ELSE 0 END),"
             " sum(CASE WHEN resumed_from = 0 THEN 1 - complete ELSE 0 END),"
             " sum(CASE WHEN resumed_from > 0 THEN complete ELSE 0 END),"
             " sum(CASE WHEN resumed_from > 0 THEN 1 - complete ELSE 0 END)"
             " FROM downloads WHERE at >= $1 GROUP BY day ORDER BY day DESC LIMIT $2;",
             {firstSeriesDay("downloads", ""), int64_t{kSeriesDays}})) {
    summary.downloadsPerDay.push_back({FormatDay(ToInteger(row[0])), ToInteger(row[1]),
                                       ToInteger(row[2]), ToInteger(row[3]), ToInteger(row[4])});
  }
  std::reverse(summary.downloadsPerDay.begin(), summary.downloadsPerDay.end());
  std::vector<std::vector<std::string>> lastOfferDay = query("SELECT max(day) FROM offers;");
  int64_t firstOfferDay =
      lastOfferDay.empty() ? 0 : ToInteger(lastOfferDay[0][0]) - kSeriesDays + 1;
  for (const auto& row : query("SELECT day, offered, served, withheld FROM offers WHERE day >= $1 "
                               "ORDER BY day DESC, offered" +
                                   order + " DESC LIMIT $2;",
                               {firstOfferDay, kMaxSeriesRows})) {
    summary.offersPerDayByRelease.push_back(
        {FormatDay(ToInteger(row[0])), row[1], ToInteger(row[2]), ToInteger(row[3])});
  }
  std::reverse(summary.offersPerDayByRelease.begin(), summary.offersPerDayByRelease.end());
  for (const auto& row : query("SELECT file, sum(complete), count(*) - sum(complete), sum(bytes),"
                               " sum(CASE WHEN resumed_from > 0 THEN 1 ELSE 0 END) FROM downloads"
                               " GROUP BY file ORDER BY count(*) DESC, file" +
                                   order + " LIMIT $1;",
                               {limit})) {
    summary.downloadsPerFile.push_back(
        {row[0], ToInteger(row[1]), ToInteger(row[2]), ToInteger(row[3]), ToInteger(row[4])});
  }
  return summary;
}

}  // namespace vexo::server
