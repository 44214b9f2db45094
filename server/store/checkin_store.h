// The record of check-ins and downloads: every query an agent made and every installer sent,
// queued by the answering threads and written in batches by one thread to SQLite or PostgreSQL.
// The answering threads never wait for the database: while it is unreachable, what they record
// waits in memory up to a bound, the excess is dropped and counted, and the writer reconnects.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include "server/store/checkin_records.h"
#include "server/store/checkin_summary.h"

namespace vexo::server {

struct StoreSettings {
  // Check-ins older than this many days lose their client address (stored as empty text); 0
  // stores no address at all.
  int retainDays = 90;
  // Records that may wait in memory while the database cannot be written.
  size_t backlogLimit = 100000;
  // Where the store's metrics are counted: records waiting and dropped, and how long each batch
  // took to write. None: a registry of the store's own, which nobody reads.
  prometheus::Registry* metrics = nullptr;
};

class StoreConnection;

class CheckinStore {
 public:
  using Warn = std::function<void(const std::string& message)>;

  // Opens the database at `location` (an SQLite file, or a postgresql:// URI), creating or
  // upgrading its schema; null, with `error` set in one line, when it cannot be used.
  static std::unique_ptr<CheckinStore> Open(const std::string& location, Warn warn,
                                            std::string& error, StoreSettings settings = {});
  ~CheckinStore();  // writes what is queued, if the database lets it

  CheckinStore(const CheckinStore&) = delete;
  CheckinStore& operator=(const CheckinStore&) = delete;

  // Queue a record; never wait for the database.
  void Record(Checkin checkin);
  void RecordDownload(Download download);

  // Returns once every record queued before the call has been written (or failed to be), or
  // at once while the database is unreachable.
  void Flush();

  // Counts, with at most `rowsPerList` rows per list (the largest counts; for days the newest).
  CheckinSummary Summarize(size_t rowsPerList, size_t recentCount);

 private:
  // Offers served and withheld by UTC day and release, added up between batches and added to
  // the database's own tally in the same transaction as the check-ins they came with.
  struct OfferTally {
    int64_t served = 0;
    int64_t withheld = 0;
  };
  using OfferTallies = std::map<std::pair<int64_t, std::string>, OfferTally>;
  struct Backlog {
    std::vector<Checkin> checkins;
    std::vector<Download> downloads;
    OfferTallies offers;  // of the check-ins above
    size_t size() const { return checkins.size() + downloads.size(); }
    bool empty() const { return size() == 0; }
  };
  enum class WriteOutcome { kWritten, kRefused, kLost };
  using Clock = std::chrono::steady_clock;

  CheckinStore(std::unique_ptr<StoreConnection> writer, std::unique_ptr<StoreConnection> reader,
               Warn warn, StoreSettings settings);

  // Under queueMutex_: room for one more record, else it is counted as dropped.
  bool Admit();
  void WakeWriter(size_t pendingSize);
  void WriterLoop();
  bool TakePending(Backlog& inHand);
  static void TallyOffer(const Checkin& checkin, OfferTallies& offers);
  bool EnsureConnected();
  void WriteHeld(Backlog& inHand);
  WriteOutcome WriteBacklog(const Backlog& backlog, std::string& error);
  void Settle(size_t count, bool refused);
  void GoOffline(const std::string& error);
  void ForgetExpiredClients();
  void ReportDrops(bool now);

  std::unique_ptr<prometheus::Registry> ownMetrics_;
  prometheus::Gauge& waitingGauge_;
  prometheus::Counter& droppedCounter_;
  prometheus::Histogram& writeSeconds_;

  std::unique_ptr<StoreConnection> writer_;  // the writer thread's alone
  std::unique_ptr<StoreConnection> reader_;
  std::mutex readerMutex_;
  Warn warn_;
  const StoreSettings settings_;

  std::mutex queueMutex_;
  std::condition_variable writerWake_;
  std::condition_variable settledChanged_;
  Backlog pending_;
  size_t unwritten_ = 0;  // queued and held by the writer
  uint64_t acceptedCount_ = 0;
  uint64_t settledCount_ = 0;
  uint64_t droppedCount_ = 0;
  bool flushRequested_ = false;
  bool stopping_ = false;
  bool offline_ = false;
  Clock::time_point nextAttempt_;

  // The writer thread's own.
  bool retentionRunning_ = true;  // a pass is due at start
  Clock::time_point nextRetention_;
  Clock::duration reconnectDelay_;
  bool outageReported_ = false;  // until the database takes a write again
  int64_t forgottenInPass_ = 0;
  uint64_t reportedDrops_ = 0;
  Clock::time_point lastDropReport_;
  std::thread writerThread_;
};

}  // namespace vexo::server
