#include "server/store/checkin_store.h"

#include <algorithm>
#include <ctime>

#include "server/common/utc_day.h"
#include "server/common/utf8_text.h"
#include "server/store/checkin_schema.h"
#include "server/store/store_connection.h"

namespace vexo::server {
namespace {

using namespace std::chrono_literals;

// The writer gathers records for up to this long (or this many) before one transaction: a
// commit costs far more than a row.
constexpr auto kBatchWindow = 50ms;
constexpr size_t kFullBatch = 4096;
constexpr auto kFirstReconnectDelay = 250ms;
constexpr auto kLongestReconnectDelay = 5s;
constexpr auto kRetentionInterval = 24h;
constexpr auto kDropReportInterval = 10s;
// Addresses are forgotten this many rows per transaction, between batches of new records.
constexpr int64_t kForgetRowsPerTransaction = 1000;

prometheus::Registry& MetricsOf(StoreSettings& settings,
                                std::unique_ptr<prometheus::Registry>& own) {
  if (settings.metrics == nullptr) {
    own = std::make_unique<prometheus::Registry>();
    settings.metrics = own.get();
  }
  return *settings.metrics;
}

// A value as it is stored: well-formed UTF-8 of at most kMaxStoredValueBytes. Records are cut
// so before they are held, so that one waiting for the database costs no more than its row.
void CutToStoredSize(std::string& value) {
  value = WellFormedUtf8Prefix(value, kMaxStoredValueBytes);
}

void AddParameters(std::vector<SqlValue>& parameters, const Checkin& checkin) {
  parameters.insert(parameters.end(), {checkin.unixTime, checkin.query, checkin.version,
                                       checkin.application, checkin.client, checkin.status});
}

void AddParameters(std::vector<SqlValue>& parameters, const Download& download) {
  parameters.insert(parameters.end(),
                    {download.unixTime, download.file, static_cast<int64_t>(download.bytes),
                     static_cast<int64_t>(download.complete ? 1 : 0),
                     static_cast<int64_t>(download.resumedFrom)});
}

template <typename Row>
TableRows RowsOf(const std::vector<Row>& rows, const char* table, const char* columns,
                 size_t columnCount) {
  TableRows tableRows{table, columns, columnCount, {}};
  tableRows.values.reserve(rows.size() * columnCount);
  for (const Row& row : rows) {
    AddParameters(tableRows.values, row);
  }
  return tableRows;
}

// Adds each tally to its row, in the order of their keys so that servers sharing a database
// never wait on each other in a circle: a few hundred rows to a statement.
template <typename Tallies>
std::vector<SqlStatement> OfferTallyStatements(const Tallies& tallies) {
  constexpr size_t kTalliesPerStatement = 250;
  std::vector<SqlStatement> statements;
  for (const auto& [key, tally] : tallies) {
    if (statements.empty() || statements.back().parameters.size() == 4 * kTalliesPerStatement) {
      statements.push_back({"INSERT INTO offers (day, offered, served, withheld) VALUES ", {}});
    }
    SqlStatement& statement = statements.back();
    size_t before = statement.parameters.size();
    statement.sql += (before == 0 ? "($" : ", ($") + std::to_string(before + 1) + ", $" +
                     std::to_string(before + 2) + ", $" + std::to_string(before + 3) + ", $" +
                     std::to_string(before + 4) + ")";
    statement.parameters.insert(statement.parameters.end(),
                                {key.first, key.second, tally.served, tally.withheld});
  }
  for (SqlStatement& statement : statements) {
    statement.sql +=
        " ON CONFLICT (day, offered) DO UPDATE SET served = offers.served + excluded.served, "
        "withheld = offers.withheld + excluded.withheld;";
  }
  return statements;
}

}  // namespace

std::unique_ptr<CheckinStore> CheckinStore::Open(const std::string& location, Warn warn,
                                                 std::string& error, StoreSettings settings) {
  std::unique_ptr<StoreConnection> writer = ConnectStore(location, error);
  if (!writer || !PrepareCheckinSchema(*writer, error)) {
    return nullptr;
  }
  std::unique_ptr<StoreConnection> reader = ConnectStore(location, error);
  if (!reader) {
    return nullptr;
  }
  if (!warn) {
    warn = [](const std::string&) {};
  }
  return std::unique_ptr<CheckinStore>(
      new CheckinStore(std::move(writer), std::move(reader), std::move(warn), settings));
}

CheckinStore::CheckinStore(std::unique_ptr<StoreConnection> writer,
                           std::unique_ptr<StoreConnection> reader, Warn warn,
                           StoreSettings settings)
    : waitingGauge_(prometheus::BuildGauge()
                        .Name("vexo_store_waiting_records")
                        .Help("Check-ins and downloads waiting in memory to be written to the "
                              "database.")
                        .Register(MetricsOf(settings, ownMetrics_))
                        .Add({})),
      droppedCounter_(prometheus::BuildCounter()
                          .Name("vexo_store_dropped_records_total")
                          .Help("Check-ins and downloads dropped: beyond the backlog while the "
                                "database was away, or refused by it.")
                          .Register(*settings.metrics)
                          .Add({})),
      writeSeconds_(prometheus::BuildHistogram()
                        .Name("vexo_store_write_duration_seconds")
                        .Help("Time to write one batch of records to the database, from the "
                              "start of its transaction to its commit.")
                        .Register(*settings.metrics)
                        .Add({}, prometheus::Histogram::BucketBoundaries{0.001, 0.0025, 0.005, 0.01,
                                                                         0.025, 0.05, 0.1, 0.25,
                                                                         0.5, 1, 2.5, 5, 10})),
      writer_(std::move(writer)),
      reader_(std::move(reader)),
      warn_(std::move(warn)),
      settings_(settings),
      nextRetention_(Clock::now()),
      reconnectDelay_(kFirstReconnectDelay) {
  writerThread_ = std::thread([this] { WriterLoop(); });
}

CheckinStore::~CheckinStore() {
  {
    std::lock_guard lock(queueMutex_);
    stopping_ = true;
  }
  writerWake_.notify_all();
  writerThread_.join();
}

bool CheckinStore::Admit() {
  if (unwritten_ >= settings_.backlogLimit) {
    ++droppedCount_;
    droppedCounter_.Increment();
    return false;
  }
  ++unwritten_;
  ++acceptedCount_;
  waitingGauge_.Set(static_cast<double>(unwritten_));
  return true;
}

// The writer sleeps until the first record of a batch and waits for a full one.
void CheckinStore::WakeWriter(size_t pendingSize) {
  if (pendingSize == 1 || pendingSize == kFullBatch) {
    writerWake_.notify_one();
  }
}

void CheckinStore::Record(Checkin checkin) {
  if (settings_.retainDays == 0) {
    checkin.client.clear();
  }
  for (std::string* value : {&checkin.query, &checkin.version, &checkin.application,
                             &checkin.client, &checkin.offered}) {
    CutToStoredSize(*value);
  }
  std::lock_guard lock(queueMutex_);
  if (Admit()) {
    TallyOffer(checkin, pending_.offers);
    pending_.checkins.push_back(std::move(checkin));
    WakeWriter(pending_.size());
  }
}

void CheckinStore::TallyOffer(const Checkin& checkin, OfferTallies& offers) {
  if (checkin.offered.empty()) {
    return;
  }
  OfferTally& tally = offers[{checkin.unixTime / kSecondsPerDay, checkin.offered}];
  ++(checkin.withheld ? tally.withheld : tally.served);
}

void CheckinStore::RecordDownload(Download download) {
  CutToStoredSize(download.file);
  std::lock_guard lock(queueMutex_);
  if (Admit()) {
    pending_.downloads.push_back(std::move(download));
    WakeWriter(pending_.size());
  }
}

void CheckinStore::Flush() {
  std::unique_lock lock(queueMutex_);
  uint64_t target = acceptedCount_;
  flushRequested_ = true;
  writerWake_.notify_one();
  settledChanged_.wait(lock, [&] { return offline_ || stopping_ || settledCount_ >= target; });
}

void CheckinStore::WriterLoop() {
  Backlog inHand;  // taken from the queue, not yet written
  while (true) {
    bool stopping = TakePending(inHand);
    bool connected = EnsureConnected();
    if (connected && !inHand.empty()) {
      WriteHeld(inHand);
    }
    if (stopping) {
      if (!inHand.empty()) {
        warn_(std::to_string(inHand.size()) + " records are lost: the database cannot be reached");
      }
      ReportDrops(true);
      return;
    }
    if (connected && writer_->Connected() && retentionRunning_) {
      ForgetExpiredClients();
    }
    ReportDrops(false);
  }
}

bool CheckinStore::EnsureConnected() {
  if (writer_->Connected()) {
    return true;
  }
  std::string error;
  if (!writer_->Reconnect(error)) {
    GoOffline(error);
    return false;
  }
  std::lock_guard lock(queueMutex_);
  offline_ = false;
  return true;
}

// Waits for work, then moves the queue into `inHand`; true once the store is stopping.
bool CheckinStore::TakePending(Backlog& inHand) {
  std::unique_lock lock(queueMutex_);
  if (offline_) {
    writerWake_.wait_until(lock, nextAttempt_, [this] { return stopping_; });
  } else if (!retentionRunning_) {
    writerWake_.wait_until(lock, nextRetention_,
                           [this] { return stopping_ || flushRequested_ || !pending_.empty(); });
    if (!stopping_ && !flushRequested_ && !pending_.empty()) {
      writerWake_.wait_for(lock, kBatchWindow, [this] {
        return stopping_ || flushRequested_ || pending_.size() >= kFullBatch;
      });
    }
    if (!stopping_ && Clock::now() >= nextRetention_) {
      retentionRunning_ = true;
    }
  }
  flushRequested_ = false;
  if (inHand.empty()) {
    std::swap(inHand, pending_);  // the usual case, and the cheapest under the lock
  } else {
    std::move(pending_.checkins.begin(), pending_.checkins.end(),
              std::back_inserter(inHand.checkins));
    std::move(pending_.downloads.begin(), pending_.downloads.end(),
              std::back_inserter(inHand.downloads));
    for (const auto& [key, tally] : pending_.offers) {
      inHand.offers[key].served += tally.served;
      inHand.offers[key].withheld += tally.withheld;
    }
    pending_ = {};
  }
  return stopping_;
}

void CheckinStore::WriteHeld(Backlog& inHand) {
  std::string error;
  Clock::time_point started = Clock::now();
  WriteOutcome outcome = WriteBacklog(inHand, error);
  if (outcome == WriteOutcome::kWritten) {
    writeSeconds_.Observe(std::chrono::duration<double>(Clock::now() - started).count());
  }
  if (outcome == WriteOutcome::kLost) {
    GoOffline(error);
    return;
  }
  if (outageReported_) {
    warn_("the database is reachable again; wrote the " + std::to_string(inHand.size()) +
          " records held meanwhile");
    outageReported_ = false;
  }
  if (outcome == WriteOutcome::kRefused) {
    warn_("cannot record " + std::to_string(inHand.size()) + " records: " + error);
  }
  Settle(inHand.size(), outcome == WriteOutcome::kRefused);
  inHand.checkins.clear();  // keeps the capacity for the next batch
  inHand.downloads.clear();
  inHand.offers.clear();
}

CheckinStore::WriteOutcome CheckinStore::WriteBacklog(const Backlog& backlog, std::string& error) {
  SqlResult result = writer_->Write(
      {RowsOf(backlog.checkins, "checkins", "at, query, ver, t, client, status", 6),
       RowsOf(backlog.downloads, "downloads", "at, file, bytes, complete, resumed_from", 5)},
      OfferTallyStatements(backlog.offers));
  if (result.ok) {
    return WriteOutcome::kWritten;
  }
  error = result.error;
  return writer_->Connected() ? WriteOutcome::kRefused : WriteOutcome::kLost;
}

void CheckinStore::Settle(size_t count, bool refused) {
  {
    std::lock_guard lock(queueMutex_);
    unwritten_ -= count;
    settledCount_ += count;
    droppedCount_ += refused ? count : 0;
    offline_ = false;
    waitingGauge_.Set(static_cast<double>(unwritten_));
    droppedCounter_.Increment(refused ? static_cast<double>(count) : 0);
  }
  reconnectDelay_ = kFirstReconnectDelay;
  settledChanged_.notify_all();
}

void CheckinStore::GoOffline(const std::string& error) {
  {
    std::lock_guard lock(queueMutex_);
    offline_ = true;
    nextAttempt_ = Clock::now() + reconnectDelay_;
  }
  reconnectDelay_ = std::min<Clock::duration>(2 * reconnectDelay_, kLongestReconnectDelay);
  settledChanged_.notify_all();
  if (!outageReported_) {
    warn_("the database cannot be written (" + error + "); holding at most " +
          std::to_string(settings_.backlogLimit) + " records in memory until it returns");
    outageReported_ = true;
  }
}

// One transaction of the retention pass; the pass ends when a transaction finds fewer rows
// than it may change.
void CheckinStore::ForgetExpiredClients() {
  int64_t cutoff = static_cast<int64_t>(std::time(nullptr)) - settings_.retainDays * kSecondsPerDay;
  SqlResult result = writer_->Run(
      "UPDATE checkins SET client = '' WHERE id IN (SELECT id FROM checkins "
      "WHERE at < $1 AND client <> '' LIMIT $2);",
      {cutoff, kForgetRowsPerTransaction});
  if (!result.ok && !writer_->Connected()) {
    GoOffline(result.error);
    return;  // the pass goes on once the database is back
  }
  if (!result.ok) {
    warn_("cannot forget old client addresses: " + result.error);
  }
  forgottenInPass_ += result.changedRows;
  if (result.ok && result.changedRows >= kForgetRowsPerTransaction) {
    return;
  }
  if (forgottenInPass_ > 0) {
    warn_("forgot the client addresses of " + std::to_string(forgottenInPass_) +
          " check-ins older than " + std::to_string(settings_.retainDays) + " days");
  }
  forgottenInPass_ = 0;
  retentionRunning_ = false;
  nextRetention_ = Clock::now() + kRetentionInterval;
}

void CheckinStore::ReportDrops(bool now) {
  uint64_t dropped = 0;
  {
    std::lock_guard lock(queueMutex_);
    dropped = droppedCount_;
  }
  if (dropped == reportedDrops_ || (!now && Clock::now() - lastDropReport_ < kDropReportInterval)) {
    return;
  }
  warn_("dropped " + std::to_string(dropped - reportedDrops_) + " records (" +
        std::to_string(dropped) + " since the start) that the database could not take");
  reportedDrops_ = dropped;
  lastDropReport_ = Clock::now();
}

CheckinSummary CheckinStore::Summarize(size_t rowsPerList, size_t recentCount) {
  Flush();
  std::lock_guard lock(readerMutex_);
  std::string error;
  if (!reader_->Connected()) {
    reader_->Reconnect(error);
  }
  CheckinSummary summary = ReadCheckinSummary(*reader_, rowsPerList, recentCount, error);
  if (!error.empty() && !reader_->Connected() && reader_->Reconnect(error)) {
    error.clear();
    summary = ReadCheckinSummary(*reader_, rowsPerList, recentCount, error);
  }
  summary.databaseError = error;
  std::lock_guard queueLock(queueMutex_);
  summary.unwritten = static_cast<int64_t>(unwritten_);
  summary.dropped = static_cast<int64_t>(droppedCount_);
  return summary;
}

}  // namespace vexo::server
