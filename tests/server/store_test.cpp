// The check-in record of vexo-server: counts, retention, both stores alike, schema upgrades.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "server/admin/stats_report.h"
#include "server/common/utc_day.h"
#include "server/store/checkin_store.h"
#include "server/store/store_connection.h"
#include "tests/support/postgres_server.h"
#include "tests/support/program_runner.h"

namespace vexo::server {
namespace {

using ::testing::HasSubstr;
using vexo::testing::TempFolder;
using vexo::testing::WriteFile;

class VexoServerCheckinStoreTest : public ::testing::Test {
 protected:
  // Days of 2024 are kept here for longer than the default retention.
  std::unique_ptr<CheckinStore> Open(const std::string& location = {},
                                     StoreSettings settings = {36500, 100000}) {
    std::string error;
    auto store = CheckinStore::Open(
        location.empty() ? folder_.File("checkins.db") : location,
        [this](const std::string& m) { warnings_.push_back(m); }, error, settings);
    EXPECT_TRUE(store) << error;
    return store;
  }
  TempFolder folder_;
  std::vector<std::string> warnings_;
};

TEST_F(VexoServerCheckinStoreTest, CountsPerVersionApplicationAndDay) {
  auto store = Open();
  const int64_t day1 = 1733616000;  // 2024-12-08T00:00:00Z
  const int64_t day2 = day1 + 86400;
  store->Record({day1 + 5, "start", "1.0.6.0", "setup.exe", "127.0.0.1", 200});
  store->Record({day1 + 9, "popup", "1.0.6.0", "setup.exe", "127.0.0.1", 200});
  store->Record({day2 + 1, "start", "1.0.5.0", "lite.exe", "10.0.0.2", 200});
  CheckinSummary summary = store->Summarize(10, 2);

  EXPECT_EQ(summary.total, 3);
  ASSERT_EQ(summary.perVersion.size(), 2u);
  EXPECT_EQ(summary.perVersion[0].value, "1.0.6.0");
  EXPECT_EQ(summary.perVersion[0].count, 2);
  ASSERT_EQ(summary.perApplication.size(), 2u);
  EXPECT_EQ(summary.perApplication[1].value, "lite.exe");
  ASSERT_EQ(summary.perDay.size(), 2u);
  EXPECT_EQ(summary.perDay[0].value, "2024-12-09");
  EXPECT_EQ(summary.perDay[1].count, 2);
  ASSERT_EQ(summary.recent.size(), 2u);  // the newest two, newest first
  EXPECT_EQ(summary.recent[0].client, "10.0.0.2");
  EXPECT_EQ(summary.recent[1].query, "popup");
  EXPECT_TRUE(warnings_.empty());
}

TEST_F(VexoServerCheckinStoreTest, RecordsSurviveReopeningAndLongValuesAreCut) {
  {
    auto store = Open();
    for (int i = 0; i < 1000; ++i) {
      store->Record({1, "start", std::string(1000, 'v'), "t" + std::to_string(i % 3), "c", 200});
    }
  }  // closing writes what is still queued
  auto store = Open();
  CheckinSummary summary = store->Summarize(2, 1);
  EXPECT_EQ(summary.total, 1000);
  EXPECT_EQ(summary.perApplication.size(), 2u);  // cut to the list length asked for
  ASSERT_EQ(summary.perVersion.size(), 1u);
  EXPECT_EQ(summary.perVersion[0].value.size(), kMaxStoredValueBytes);
}

TEST_F(VexoServerCheckinStoreTest, RefusesFilesThatAreNotDatabases) {
  WriteFile(folder_.File("garbage.db"), std::string(4096, 'g'));
  std::filesystem::create_directory(folder_.File("a-folder"));
  struct Case {
    std::string path;
    const char* errorPart;
  };
  const Case cases[] = {
      {folder_.File("garbage.db"), "not a database"},
      {folder_.File("a-folder"), "a folder, not a regular file"},
      {folder_.File("missing/x.db"), "unable to open"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.path);
    std::string error;
    EXPECT_FALSE(CheckinStore::Open(row.path, nullptr, error));
    EXPECT_THAT(error, HasSubstr(row.errorPart));
  }
}

// Either store: rows older than the retention time lose their address and keep their counts,
// the adoption series run oldest day first, and the summary is the same.
TEST_F(VexoServerCheckinStoreTest, BothStoresRetainAndSummarizeAlike) {
  vexo::testing::PostgresServer postgres;
  ASSERT_EQ(postgres.error(), "");
  const std::string locations[] = {folder_.File("retention.db"),
                                   postgres.CreateDatabase("retention")};
  const int64_t day = 86400;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const std::string awkward = "1.0\t\\N\n\\.\r\\";  // what text rows and COPY escape
  std::string firstJson;
  for (const std::string& location : locations) {
    SCOPED_TRACE(location);
    {
      auto store = Open(location);
      store->Record({now, "popup", awkward, "tab.exe", "10.0.0.5", 200});
      store->Record({now - 91 * day, "start", "1.0.5.0", "old.exe", "10.0.0.1", 200});
      store->Record({now - 89 * day, "start", "1.0.6.0", "kept.exe", "10.0.0.2", 200});
      store->Record({now, "start", "1.0.6.0", "kept.exe", "10.0.0.3", 200, "1.0.7.0", true});
      store->Record({now, "popup", "1.0.6.0", "kept.exe", "10.0.0.3", 200});
      store->Record({now, "start", "1.0.5.0", "\xFF" + std::string(300, 'x'), "10.0.0.4", 200,
                     "1.0.7.0", false});
      store->RecordDownload({now - 89 * day, "a.exe", 10, true});
      store->RecordDownload({now, "a.exe", 10, true});
      store->RecordDownload({now, "a.exe", 3, false});
      store->RecordDownload({now, "a.exe", 7, true, 3});  // the rest of the one cut short
    }
    auto store = Open(location, {90, 100000});
    CheckinSummary summary = store->Summarize(10, 10);
    for (int wait = 0; wait < 250 && summary.recent.size() == 6 && summary.recent[4].client != "";
         ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // retention runs beside
      summary = store->Summarize(10, 10);
    }
    EXPECT_EQ(summary.total, 6);
    ASSERT_EQ(summary.recent.size(), 6u);
    EXPECT_EQ(summary.recent[5].version, awkward);
    EXPECT_EQ(summary.recent[4].application, "old.exe");
    EXPECT_EQ(summary.recent[4].client, "");
    EXPECT_EQ(summary.recent[3].client, "10.0.0.2");
    EXPECT_EQ(summary.recent[0].application.substr(0, 4), "\xEF\xBF\xBDx");  // stored as UTF-8
    EXPECT_EQ(summary.perVersion[0].count, 3);

    // The series hold the 60 days up to the latest one with data: here today alone.
    std::string today = FormatUtcTime(now).substr(0, 10);
    ASSERT_EQ(summary.startsPerDayByVersion.size(), 2u);
    EXPECT_EQ(summary.startsPerDayByVersion[0].day, today);
    EXPECT_EQ(summary.startsPerDayByVersion[0].version, "1.0.5.0");
    EXPECT_EQ(summary.startsPerDayByVersion[1].count, 1);
    ASSERT_EQ(summary.downloadsPerDay.size(), 1u);
    EXPECT_EQ(summary.downloadsPerDay[0].day, today);
    EXPECT_EQ(summary.downloadsPerDay[0].completed, 1);
    EXPECT_EQ(summary.downloadsPerDay[0].cutShort, 1);
    EXPECT_EQ(summary.downloadsPerDay[0].resumedCompleted, 1);
    EXPECT_EQ(summary.downloadsPerDay[0].resumedCutShort, 0);
    ASSERT_EQ(summary.offersPerDayByRelease.size(), 1u);
    EXPECT_EQ(summary.offersPerDayByRelease[0].day, today);
    EXPECT_EQ(summary.offersPerDayByRelease[0].served, 1);
    EXPECT_EQ(summary.offersPerDayByRelease[0].withheld, 1);
    EXPECT_EQ(summary.databaseError, "");

    std::string json = RenderStatsJson(summary, {});
    if (firstJson.empty()) {
      firstJson = json;
    } else {
      EXPECT_EQ(json, firstJson) << "the same /stats from either store";
    }
  }
}

// Either backend writes a batch whole or not at all, and the statements' values arrive intact.
TEST_F(VexoServerCheckinStoreTest, ConnectionsWriteABatchWholeOrNotAtAll) {
  vexo::testing::PostgresServer postgres;
  ASSERT_EQ(postgres.error(), "");
  const std::string awkward = "it's $1 \\ '' \"";
  for (const std::string& location : {folder_.File("batch.db"), postgres.CreateDatabase("batch")}) {
    SCOPED_TRACE(location);
    std::string error;
    auto connection = ConnectStore(location, error);
    ASSERT_TRUE(connection) << error;
    ASSERT_TRUE(connection
                    ->Run("CREATE TABLE t (n BIGINT, s TEXT); CREATE TABLE u (n BIGINT, s "
                          "TEXT);")
                    .ok);
    const std::vector<TableRows> rows = {{"t", "n, s", 2, {int64_t{1}, awkward, int64_t{2}, "b"}},
                                         {"u", "n, s", 2, {}}};
    SqlResult refused =
        connection->Write(rows, {{"INSERT INTO u (n, s) VALUES ($1, $2);", {int64_t{1}, "x"}},
                                 {"INSERT INTO missing (n) VALUES ($1);", {int64_t{1}}}});
    EXPECT_FALSE(refused.ok);
    EXPECT_THAT(refused.error, HasSubstr("missing"));
    if (!connection->Connected()) {
      ASSERT_TRUE(connection->Reconnect(error)) << error;
    }
    EXPECT_EQ(connection->Run("SELECT (SELECT count(*) FROM t) + (SELECT count(*) FROM u);").rows,
              std::vector<std::vector<std::string>>{{"0"}});

    SqlResult written = connection->Write(
        rows, {{"INSERT INTO u (n, s) VALUES ($2-$3, $1);", {awkward, int64_t{2}, int64_t{-5}}}});
    EXPECT_TRUE(written.ok) << written.error;
    EXPECT_EQ(connection->Run("SELECT n, s FROM t UNION ALL SELECT n, s FROM u ORDER BY n;").rows,
              (std::vector<std::vector<std::string>>{{"1", awkward}, {"2", "b"}, {"7", awkward}}));
  }
}

// Files of earlier servers, without the downloads or without where each started, are upgraded in
// place; one from a newer server is refused.
TEST_F(VexoServerCheckinStoreTest, UpgradesEarlierFilesAndRefusesNewerOnes) {
  auto execute = [](const std::string& path, const char* sql) {
    sqlite3* database = nullptr;
    sqlite3_open(path.c_str(), &database);
    EXPECT_EQ(sqlite3_exec(database, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(database);
  };
  std::string earlier = folder_.File("earlier.db");
  execute(earlier,
          "CREATE TABLE checkins (id INTEGER PRIMARY KEY, at INTEGER NOT NULL, query TEXT NOT "
          "NULL, ver TEXT NOT NULL, t TEXT NOT NULL, client TEXT NOT NULL, status INTEGER NOT "
          "NULL); CREATE INDEX checkins_at ON checkins(at);"
          "INSERT INTO checkins VALUES (1, 1733616000, 'start', '1.0.5.0', 's.exe', 'c', 200);");
  {
    auto store = Open(earlier);
    ASSERT_TRUE(store);
    store->RecordDownload({1733616000, "a.exe", 1, true});
    CheckinSummary summary = store->Summarize(10, 10);
    EXPECT_EQ(summary.total, 1);
    EXPECT_EQ(summary.downloadsPerDay.size(), 1u);
  }
  std::string second = folder_.File("second.db");
  execute(second,
          "CREATE TABLE checkins (id INTEGER PRIMARY KEY, at INTEGER NOT NULL, query TEXT NOT "
          "NULL, ver TEXT NOT NULL, t TEXT NOT NULL, client TEXT NOT NULL, status INTEGER NOT "
          "NULL); CREATE TABLE downloads (id INTEGER PRIMARY KEY, at BIGINT NOT NULL, file TEXT "
          "NOT NULL, bytes BIGINT NOT NULL, complete INTEGER NOT NULL);"
          "CREATE TABLE schema_version (version INTEGER NOT NULL);"
          "INSERT INTO schema_version VALUES (2);"
          "INSERT INTO downloads VALUES (1, 1733616000, 'a.exe', 9, 1);");
  {
    auto store = Open(second);
    ASSERT_TRUE(store);
    store->RecordDownload({1733616000, "a.exe", 4, true, 5});
    CheckinSummary summary = store->Summarize(10, 10);
    ASSERT_EQ(summary.downloadsPerDay.size(), 1u);
    EXPECT_EQ(summary.downloadsPerDay[0].completed, 1);
    EXPECT_EQ(summary.downloadsPerDay[0].resumedCompleted, 1);
  }
  execute(earlier, "UPDATE schema_version SET version = version + 1;");
  std::string error;
  EXPECT_FALSE(CheckinStore::Open(earlier, nullptr, error));
  EXPECT_THAT(error, HasSubstr("is newer than this server's"));
}

}  // namespace
}  // namespace vexo::server
