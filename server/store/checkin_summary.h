// The counts the statistics show, read from the check-in tables in one pass of queries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/store/checkin_records.h"

namespace vexo::server {

class StoreConnection;

struct CountRow {
  std::string value;
  int64_t count = 0;
};

// Start queries of one UTC day ("2024-12-08") from agents of one version.
struct DayVersionCount {
  std::string day;
  std::string version;
  int64_t count = 0;
};

// Installer requests under /files/ of one UTC day that sent file bytes: fresh ones (from the
// first byte) and resumed ones (the rest of a download cut short earlier), each either completed
// (up to the file's last byte) or cut short.
struct DayDownloadCount {
  std::string day;
  int64_t completed = 0;
  int64_t cutShort = 0;
  int64_t resumedCompleted = 0;
  int64_t resumedCutShort = 0;
};

// Start check-ins of one UTC day whose answer offered `release`: those that got the offer and
// those a rollout held it back from.
struct DayOfferCount {
  std::string day;
  std::string release;
  int64_t served = 0;
  int64_t withheld = 0;
};

// Installer requests for one file under /files/, all days together.
struct FileDownloadCount {
  std::string file;
  int64_t completed = 0;  // reached the end of the file, fresh or resumed
  int64_t cutShort = 0;
  int64_t bytes = 0;    // sent, whole and cut short
  int64_t resumed = 0;  // of all those, the ones that continued a download cut short
};

struct CheckinSummary {
  int64_t total = 0;
  std::vector<CountRow> perQuery;
  std::vector<CountRow> perVersion;
  std::vector<CountRow> perApplication;
  std::vector<CountRow> perDay;  // UTC dates, newest first
  std::vector<Checkin> recent;   // newest first
  // The adoption series, oldest day first.
  std::vector<DayVersionCount> startsPerDayByVersion;
  std::vector<DayDownloadCount> downloadsPerDay;
  std::vector<DayOfferCount> offersPerDayByRelease;
  std::vector<FileDownloadCount> downloadsPerFile;  // the most requested first
  // Records waiting in memory for the database, and those dropped since the start.
  int64_t unwritten = 0;
  int64_t dropped = 0;
  std::string databaseError;  // empty when the counts above could be read
};

// The adoption series cover at most this many days, up to the latest one with data.
inline constexpr int kSeriesDays = 60;

// The summary with at most `rowsPerList` rows per list (the largest counts; for days the newest)
// and the `recentCount` latest check-ins; the first failed query's message in `error`.
CheckinSummary ReadCheckinSummary(StoreConnection& reader, size_t rowsPerList, size_t recentCount,
                                  std::string& error);

}  // namespace vexo::server
