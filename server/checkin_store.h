// The database of check-ins: every query an agent made, written in batches by one thread.
#pragma once

#include <sqlite3.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vexo::server {

// Longer values from the network are cut to this many bytes before they are stored.
inline constexpr size_t kMaxStoredValueBytes = 256;

struct Checkin {
  int64_t unixTime = 0;
  std::string query;
  std::string version;
  std::string application;
  std::string client;
  int status = 0;
};

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

// Installer requests under /files/ of one UTC day: whole files sent and transfers cut short.
struct DayDownloadCount {
  std::string day;
  int64_t completed = 0;
  int64_t cutShort = 0;
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
};

class CheckinStore {
 public:
  using Warn = std::function<void(const std::string& message)>;

  // Opens or creates the database and its table; null, with `error` set, when the file cannot
  // be opened or is not a database.
  static std::unique_ptr<CheckinStore> Open(const std::string& path, Warn warn, std::string& error);
  ~CheckinStore();

  CheckinStore(const CheckinStore&) = delete;
  CheckinStore& operator=(const CheckinStore&) = delete;

  // Queues a check-in; blocks only while the writer is far behind.
  void Record(Checkin checkin);

  // Returns once every check-in recorded before the call has been written (or failed to be).
  void Flush();

  // Counts, with at most `rowsPerList` rows per list (the largest counts; for days the newest).
  CheckinSummary Summarize(size_t rowsPerList, size_t recentCount);

 private:
  CheckinStore(sqlite3* database, Warn warn);

  void WriterLoop();
  void WriteBatch(const std::vector<Checkin>& batch);
  std::vector<CountRow> CountBy(const char* sql, size_t limit);

  sqlite3* database_;
  Warn warn_;
  std::mutex databaseMutex_;

  std::mutex queueMutex_;
  std::condition_variable queueChanged_;
  std::vector<Checkin> pending_;
  uint64_t recordedCount_ = 0;
  uint64_t writtenCount_ = 0;
  bool flushRequested_ = false;
  bool stopping_ = false;
  std::thread writer_;
};

}  // namespace vexo::server
