#include "server/checkin_store.h"

#include <chrono>

namespace vexo::server {
namespace {

// Beyond this many unwritten check-ins, Record waits for the writer instead of growing memory.
constexpr size_t kMaxPendingCheckins = 65536;
// The writer gathers check-ins for up to this long (or this many) before one transaction: a
// commit costs far more than a row.
constexpr auto kBatchWindow = std::chrono::milliseconds(50);
constexpr size_t kFullBatch = 4096;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS checkins ("
    " id INTEGER PRIMARY KEY,"
    " at INTEGER NOT NULL,"  // seconds since 1970-01-01 UTC
    " query TEXT NOT NULL,"
    " ver TEXT NOT NULL,"
    " t TEXT NOT NULL,"
    " client TEXT NOT NULL,"
    " status INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS checkins_at ON checkins(at);";

class Statement {
 public:
  Statement(sqlite3* database, const char* sql) {
    sqlite3_prepare_v2(database, sql, -1, &statement_, nullptr);
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  sqlite3_stmt* get() const { return statement_; }
  explicit operator bool() const { return statement_ != nullptr; }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  int length = sqlite3_column_bytes(statement, column);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(length))
              : std::string();
}

void BindText(sqlite3_stmt* statement, int index, const std::string& value) {
  size_t length = std::min(value.size(), kMaxStoredValueBytes);
  sqlite3_bind_text(statement, index, value.data(), static_cast<int>(length), SQLITE_TRANSIENT);
}

bool Execute(sqlite3* database, const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(database, sql, nullptr, nullptr, &message) == SQLITE_OK) {
    return true;
  }
  error = message ? message : sqlite3_errmsg(database);
  sqlite3_free(message);
  return false;
}

}  // namespace

std::unique_ptr<CheckinStore> CheckinStore::Open(const std::string& path, Warn warn,
                                                 std::string& error) {
  sqlite3* database = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &database, flags, nullptr) != SQLITE_OK) {
    error = database ? sqlite3_errmsg(database) : "out of memory";
    sqlite3_close(database);
    return nullptr;
  }
  sqlite3_busy_timeout(database, 5000);
  // Write-ahead logging with normal synchronisation: a commit is one append, so batches of
  // check-ins cost little and readers of the file (sqlite3, /stats) never block the writer.
  if (!Execute(database, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", error) ||
      !Execute(database, kSchema, error) ||
      !Execute(database, "SELECT count(*) FROM checkins;", error)) {
    sqlite3_close(database);
    return nullptr;
  }
  return std::unique_ptr<CheckinStore>(new CheckinStore(database, std::move(warn)));
}

CheckinStore::CheckinStore(sqlite3* database, Warn warn)
    : database_(database), warn_(std::move(warn)) {
  writer_ = std::thread([this] { WriterLoop(); });
}

CheckinStore::~CheckinStore() {
  {
    std::lock_guard lock(queueMutex_);
    stopping_ = true;
  }
  queueChanged_.notify_all();
  writer_.join();
  sqlite3_close(database_);
}

void CheckinStore::Record(Checkin checkin) {
  std::unique_lock lock(queueMutex_);
  queueChanged_.wait(lock, [this] { return pending_.size() < kMaxPendingCheckins; });
  pending_.push_back(std::move(checkin));
  ++recordedCount_;
  queueChanged_.notify_all();
}

void CheckinStore::Flush() {
  std::unique_lock lock(queueMutex_);
  uint64_t target = recordedCount_;
  flushRequested_ = true;
  queueChanged_.notify_all();
  queueChanged_.wait(lock, [&] { return writtenCount_ >= target; });
}

void CheckinStore::WriterLoop() {
  std::vector<Checkin> batch;
  while (true) {
    {
      std::unique_lock lock(queueMutex_);
      queueChanged_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
      queueChanged_.wait_for(lock, kBatchWindow, [this] {
        return stopping_ || flushRequested_ || pending_.size() >= kFullBatch;
      });
      flushRequested_ = false;
      if (pending_.empty()) {
        return;  // stopping, and everything is written
      }
      batch.swap(pending_);
    }
    queueChanged_.notify_all();  // room again for waiting recorders
    WriteBatch(batch);
    {
      std::lock_guard lock(queueMutex_);
      writtenCount_ += batch.size();
    }
    queueChanged_.notify_all();
    batch.clear();
  }
}

void CheckinStore::WriteBatch(const std::vector<Checkin>& batch) {
  std::lock_guard lock(databaseMutex_);
  std::string error;
  if (!Execute(database_, "BEGIN;", error)) {
    warn_("cannot record " + std::to_string(batch.size()) + " check-ins: " + error);
    return;
  }
  Statement insert(database_,
                   "INSERT INTO checkins (at, query, ver, t, client, status) "
                   "VALUES (?, ?, ?, ?, ?, ?);");
  bool failed = !insert;
  for (const Checkin& checkin : batch) {
    if (failed) {
      break;
    }
    sqlite3_bind_int64(insert.get(), 1, checkin.unixTime);
    BindText(insert.get(), 2, checkin.query);
    BindText(insert.get(), 3, checkin.version);
    BindText(insert.get(), 4, checkin.application);
    BindText(insert.get(), 5, checkin.client);
    sqlite3_bind_int(insert.get(), 6, checkin.status);
    failed = sqlite3_step(insert.get()) != SQLITE_DONE;
    sqlite3_reset(insert.get());
  }
  if (failed) {
    warn_("cannot record " + std::to_string(batch.size()) +
          " check-ins: " + sqlite3_errmsg(database_));
    Execute(database_, "ROLLBACK;", error);
  } else if (!Execute(database_, "COMMIT;", error)) {
    warn_("cannot record " + std::to_string(batch.size()) + " check-ins: " + error);
    Execute(database_, "ROLLBACK;", error);
  }
}

std::vector<CountRow> CheckinStore::CountBy(const char* sql, size_t limit) {
  std::vector<CountRow> rows;
  Statement statement(database_, sql);
  if (!statement) {
    return rows;
  }
  sqlite3_bind_int64(statement.get(), 1, static_cast<sqlite3_int64>(limit));
  while (sqlite3_step(statement.get()) == SQLITE_ROW) {
    rows.push_back(
        CountRow{ColumnText(statement.get(), 0), sqlite3_column_int64(statement.get(), 1)});
  }
  return rows;
}

CheckinSummary CheckinStore::Summarize(size_t rowsPerList, size_t recentCount) {
  Flush();
  std::lock_guard lock(databaseMutex_);
  CheckinSummary summary;
  {
    Statement total(database_, "SELECT count(*) FROM checkins;");
    if (total && sqlite3_step(total.get()) == SQLITE_ROW) {
      summary.total = sqlite3_column_int64(total.get(), 0);
    }
  }
  summary.perQuery = CountBy(
      "SELECT query, count(*) AS n FROM checkins GROUP BY query ORDER BY n DESC, query LIMIT ?;",
      rowsPerList);
  summary.perVersion =
      CountBy("SELECT ver, count(*) AS n FROM checkins GROUP BY ver ORDER BY n DESC, ver LIMIT ?;",
              rowsPerList);
  summary.perApplication = CountBy(
      "SELECT t, count(*) AS n FROM checkins GROUP BY t ORDER BY n DESC, t LIMIT ?;", rowsPerList);
  summary.perDay = CountBy(
      "SELECT date(at, 'unixepoch') AS day, count(*) FROM checkins GROUP BY day "
      "ORDER BY day DESC LIMIT ?;",
      rowsPerList);
  Statement recent(database_,
                   "SELECT at, query, ver, t, client, status FROM checkins "
                   "ORDER BY id DESC LIMIT ?;");
  if (recent) {
    sqlite3_bind_int64(recent.get(), 1, static_cast<sqlite3_int64>(recentCount));
    while (sqlite3_step(recent.get()) == SQLITE_ROW) {
      summary.recent.push_back(Checkin{sqlite3_column_int64(recent.get(), 0),
                                       ColumnText(recent.get(), 1), ColumnText(recent.get(), 2),
                                       ColumnText(recent.get(), 3), ColumnText(recent.get(), 4),
                                       sqlite3_column_int(recent.get(), 5)});
    }
  }
  return summary;
}

}  // namespace vexo::server
