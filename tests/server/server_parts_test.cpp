// The parts of vexo-server without the network: command line, content folder checks, answer
// cache, check-in database, reports and the access log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "server/access_log.h"
#include "server/admin_access.h"
#include "server/admin_router.h"
#include "server/adoption_charts.h"
#include "server/answer_cache.h"
#include "server/checkin_store.h"
#include "server/content_folder.h"
#include "server/request_router.h"
#include "server/server_options.h"
#include "server/stats_report.h"
#include "server/svg_chart.h"
#include "tests/support/postgres_server.h"
#include "tests/support/program_runner.h"

namespace vexo::server {
namespace {

using ::testing::HasSubstr;
using vexo::testing::ReadFile;
using vexo::testing::TempFolder;
using vexo::testing::WriteFile;

TEST(VexoServerCommandLine, ListenAddresses) {
  struct Case {
    const char* text;
    bool valid;
    const char* host;
    uint16_t port;
  };
  const Case cases[] = {
      {"127.0.0.1:8080", true, "127.0.0.1", 8080},
      {"0.0.0.0:0", true, "0.0.0.0", 0},
      {"[::1]:65535", true, "::1", 65535},
      {"127.0.0.1:65536", false, "", 0},
      {"127.0.0.1:", false, "", 0},
      {"127.0.0.1", false, "", 0},
      {":8080", false, "", 0},
      {"localhost:8080", false, "", 0},
      {"999.0.0.1:80", false, "", 0},
      {"127.0.0.1:+80", false, "", 0},
      {"127.0.0.1:8o", false, "", 0},
      {"127.0.0.1:080808", false, "", 0},
      {"::1:80", false, "", 0},
      {"[::1]80", false, "", 0},
      {"[127.0.0.1]:80", false, "", 0},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.text);
    std::optional<ListenAddress> address = ParseListenAddress(row.text);
    ASSERT_EQ(address.has_value(), row.valid);
    if (row.valid) {
      EXPECT_EQ(address->host, row.host);
      EXPECT_EQ(address->port, row.port);
      EXPECT_EQ(address->ToString(), row.text);
    }
  }
}

TEST(VexoServerCommandLine, OptionsAndFaults) {
  struct Case {
    std::vector<std::string> arguments;
    CommandLineAction action;
    const char* errorPart;
  };
  const Case cases[] = {
      {{"--root", "content"}, CommandLineAction::kRun, ""},
      {{"--root=content", "--listen=[::1]:0", "--db=x.db"}, CommandLineAction::kRun, ""},
      {{"--help"}, CommandLineAction::kShowHelp, ""},
      {{"--root", "c", "--version"}, CommandLineAction::kShowVersion, ""},
      {{}, CommandLineAction::kUsageError, "--root is required"},
      {{"--root"}, CommandLineAction::kUsageError, "--root needs a value"},
      {{"--root", ""}, CommandLineAction::kUsageError, "--root needs a folder"},
      {{"--root", "c", "--port", "80"},
       CommandLineAction::kUsageError,
       "unknown argument '--port'"},
      {{"--root", "c", "extra"}, CommandLineAction::kUsageError, "unknown argument 'extra'"},
      {{"--root", "c", "--listen", "8080"},
       CommandLineAction::kUsageError,
       "malformed listen address '8080'"},
      {{"--root", "c", "--origin", "ftp://x"}, CommandLineAction::kUsageError, "malformed origin"},
      {{"--root", "c", "--origin", "http://a b"},
       CommandLineAction::kUsageError,
       "malformed origin"},
      {{"--root", "c", "--threads", "0"}, CommandLineAction::kUsageError, "--threads"},
      {{"--root", "c", "--db", ""}, CommandLineAction::kUsageError, "--db needs a file name"},
      {{"--root", "c", "--retain-days", "-1"}, CommandLineAction::kUsageError, "--retain-days"},
      {{"--root", "c", "--retain-days", "36501"}, CommandLineAction::kUsageError, "--retain-days"},
      {{"--root", "c", "--db-backlog", "0"}, CommandLineAction::kUsageError, "--db-backlog"},
      {{"--root", "c", "--tls-cert", "c.pem"}, CommandLineAction::kUsageError, "go together"},
      {{"--root", "c", "--admin-tls-key", "k.pem"}, CommandLineAction::kUsageError, "go together"},
      {{"--root", "c", "--admin-listen", "[::1]:0", "--admin-insecure-http"},
       CommandLineAction::kRun,
       ""},
      {{"--root", "c", "--admin-listen", "127.9.9.9:1"}, CommandLineAction::kRun, ""},
      {{"--root", "c", "--admin-listen", "0.0.0.0:8081"},
       CommandLineAction::kUsageError,
       "admin address 0.0.0.0:8081 is not loopback: give --admin-token-file"},
      {{"--root", "c", "--admin-listen", "[::]:1", "--admin-insecure-http"},
       CommandLineAction::kUsageError,
       "give --admin-token-file"},
      {{"--root", "c", "--admin-listen", "10.0.0.1:1", "--admin-token-file", "t"},
       CommandLineAction::kUsageError,
       "give --admin-tls-cert and --admin-tls-key (or --tls-cert and --tls-key), or "
       "--admin-insecure-http"},
      {{"--root", "c", "--admin-listen", "10.0.0.1:1", "--admin-token-file", "t",
        "--admin-insecure-http"},
       CommandLineAction::kRun,
       ""},
      {{"--root", "c", "--admin-listen", "10.0.0.1:1", "--admin-token-file", "t", "--tls-cert", "c",
        "--tls-key", "k"},
       CommandLineAction::kRun,
       ""},
      {{"--root", "c", "--admin-insecure-http=yes"},
       CommandLineAction::kUsageError,
       "unknown argument '--admin-insecure-http=yes'"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(::testing::PrintToString(row.arguments));
    CommandLine parsed = ParseServerCommandLine(row.arguments);
    EXPECT_EQ(parsed.action, row.action);
    EXPECT_THAT(parsed.error, HasSubstr(row.errorPart));
  }
}

TEST(VexoServerCommandLine, ValuesReachTheOptions) {
  CommandLine parsed =
      ParseServerCommandLine({"--root", "/srv/c", "--listen", "127.0.0.1:0", "--db", "/tmp/a.db",
                              "--origin", "http://updates.example:8080/", "--threads", "4",
                              "--retain-days", "0", "--db-backlog", "12"});
  ASSERT_EQ(parsed.action, CommandLineAction::kRun);
  EXPECT_EQ(parsed.options.root, "/srv/c");
  EXPECT_EQ(parsed.options.listen.port, 0);
  EXPECT_EQ(parsed.options.databasePath, "/tmp/a.db");
  EXPECT_EQ(parsed.options.origin, "http://updates.example:8080");  // trailing slash dropped
  EXPECT_EQ(parsed.options.threads, 4u);
  EXPECT_EQ(parsed.options.retainDays, 0);
  EXPECT_EQ(parsed.options.databaseBacklog, 12u);
  EXPECT_EQ(ParseServerCommandLine({"--root", "c"}).options.retainDays, 90);
  EXPECT_EQ(parsed.options.adminListen.ToString(), "127.0.0.1:8081");

  CommandLine ownPair = ParseServerCommandLine({"--root=c", "--tls-cert=a.pem", "--tls-key=a.key",
                                                "--admin-tls-cert=b.pem", "--admin-tls-key=b.key",
                                                "--admin-token-file=t", "--admin-listen=[::1]:9"});
  ASSERT_EQ(ownPair.action, CommandLineAction::kRun) << ownPair.error;
  EXPECT_EQ(ownPair.options.tls.certificate, "a.pem");
  EXPECT_EQ(ownPair.options.adminTls.key, "b.key");
  EXPECT_EQ(ownPair.options.adminTokenFile, "t");
  CommandLine sharedPair =
      ParseServerCommandLine({"--root=c", "--tls-cert=a.pem", "--tls-key=a.key"});
  EXPECT_EQ(sharedPair.options.adminTls.certificate, "a.pem");
  EXPECT_EQ(sharedPair.options.adminTls.key, "a.key");
}

TEST(VexoServerAdminAccess, TokenFiles) {
  TempFolder folder;
  struct Case {
    const char* content;  // nullptr: no such file
    const char* token;    // nullptr: refused
    const char* errorPart;
  };
  const Case cases[] = {
      {"s3cret\n", "s3cret", ""},         {"s3cret\r\n", "s3cret", ""},
      {"s3cret", "s3cret", ""},           {"s3cret\n\n", "s3cret\n", ""},
      {" two words ", " two words ", ""}, {"", nullptr, "is empty"},
      {"\n", nullptr, "is empty"},        {nullptr, nullptr, "No such file or directory"},
  };
  int number = 0;
  for (const Case& row : cases) {
    SCOPED_TRACE(row.content ? row.content : "(missing)");
    std::string path = folder.File("token" + std::to_string(++number));
    if (row.content) {
      WriteFile(path, row.content);
    }
    std::string error;
    std::optional<std::string> token = ReadAdminToken(path, error);
    EXPECT_EQ(token.has_value(), row.token != nullptr);
    if (row.token) {
      EXPECT_EQ(*token, row.token);
    } else {
      EXPECT_THAT(error, HasSubstr(row.errorPart));
      EXPECT_THAT(error, HasSubstr(path));
      EXPECT_EQ(error.find('\n'), std::string::npos);
    }
  }
}

TEST(VexoServerAdminAccess, SecretsMatchOnlyWhole) {
  struct Case {
    const char* presented;
    bool same;
  };
  const Case cases[] = {{"s3cret", true},       {"s3cre", false},  {"s3cret!", false},
                        {"S3cret", false},      {"s3cres", false}, {"", false},
                        {"s3crets3cret", false}};
  for (const Case& row : cases) {
    SCOPED_TRACE(row.presented);
    EXPECT_EQ(SameSecret(row.presented, "s3cret"), row.same);
  }
  EXPECT_FALSE(SameSecret("", ""));
}

TEST(VexoServerContentFolderPaths, PlainNamesAndRelativePaths) {
  struct Case {
    std::string text;
    bool plainName;
    bool safePath;
  };
  const Case cases[] = {
      {"setup.exe", true, true},
      {"vexo-calendar-lite.exe", true, true},
      {"日历.exe", true, true},
      {"a/b.exe", false, true},
      {"", false, false},
      {".", false, false},
      {"..", false, false},
      {".hidden", false, false},
      {"../start.xml", false, false},
      {"a/../../start.xml", false, false},
      {"/etc/passwd", false, false},
      {"a//b", false, false},
      {"a/", false, false},
      {"a\\..\\b", false, false},
      {"c:x", false, false},
      {std::string("a\0b", 3), false, false},
      {"a\nb", false, false},
      {std::string(128, 'x'), true, true},
      {std::string(129, 'x'), false, false},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(IsPlainName(row.text), row.plainName);
    EXPECT_EQ(IsSafeRelativePath(row.text), row.safePath);
  }
}

// A content folder in a temporary place, with something secret just outside it.
class VexoServerContentFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(root() + "/start.xml", "top start");
    WriteFile(root() + "/popup.xml", "top popup");
    WriteFile(root() + "/apps/lite.exe/start.xml", "lite start");
    WriteFile(root() + "/files/setup.exe", std::string(300, 'i'));
    WriteFile(root() + "/files/sub/readme.txt", "readme");
    WriteFile(outside_.File("secret.txt"), "secret");
    std::string error;
    content_ = ContentFolder::Open(root(), error);
    ASSERT_TRUE(content_) << error;
  }
  std::string root() const { return folder_.File("content"); }
  std::string Answer(AnswerKind kind, std::string_view application) {
    std::optional<std::string> file = content_->FindAnswerFile(kind, application);
    return file ? ReadFile(*file) : "(none)";
  }

  TempFolder folder_;
  TempFolder outside_;
  std::unique_ptr<ContentFolder> content_;
};

TEST_F(VexoServerContentFolderTest, AnswerPerApplicationWithFallback) {
  struct Case {
    AnswerKind kind;
    std::string application;
    const char* expected;
  };
  const Case cases[] = {
      {AnswerKind::kStart, "lite.exe", "lite start"},
      {AnswerKind::kPopup, "lite.exe", "top popup"},  // the folder lacks popup.xml
      {AnswerKind::kStart, "setup.exe", "top start"},
      {AnswerKind::kStart, "", "top start"},
      {AnswerKind::kStart, "..", "top start"},
      {AnswerKind::kStart, "../apps/lite.exe", "top start"},
      {AnswerKind::kStart, "lite.exe/../../..", "top start"},
      {AnswerKind::kStart, "/etc", "top start"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.application);
    EXPECT_EQ(Answer(row.kind, row.application), row.expected);
  }
}

TEST_F(VexoServerContentFolderTest, SymbolicLinksLeadingOutsideAreNotFollowed) {
  ASSERT_EQ(symlink(outside_.path().c_str(), (root() + "/apps/escape").c_str()), 0);
  WriteFile(outside_.File("start.xml"), "foreign start");
  ASSERT_EQ(symlink(outside_.File("secret.txt").c_str(), (root() + "/files/secret.txt").c_str()),
            0);
  ASSERT_EQ(symlink(outside_.path().c_str(), (root() + "/files/out").c_str()), 0);

  EXPECT_EQ(Answer(AnswerKind::kStart, "escape"), "top start");
  EXPECT_FALSE(content_->OpenDownload("secret.txt"));
  EXPECT_FALSE(content_->OpenDownload("out/secret.txt"));
}

TEST_F(VexoServerContentFolderTest, DownloadsAreRegularFilesBelowFiles) {
  std::optional<OpenFile> installer = content_->OpenDownload("setup.exe");
  ASSERT_TRUE(installer);
  EXPECT_EQ(installer->size(), 300u);
  EXPECT_TRUE(content_->OpenDownload("sub/readme.txt"));
  EXPECT_FALSE(content_->OpenDownload("sub"));
  EXPECT_FALSE(content_->OpenDownload("missing.exe"));
  EXPECT_FALSE(content_->OpenDownload("../start.xml"));
}

TEST(VexoServerContentFolderOpen, RefusesWhatIsNotAFolder) {
  TempFolder folder;
  WriteFile(folder.File("plain-file"), "x");
  std::string error;
  EXPECT_FALSE(ContentFolder::Open(folder.File("missing"), error));
  EXPECT_THAT(error, HasSubstr("No such file or directory"));
  EXPECT_FALSE(ContentFolder::Open(folder.File("plain-file"), error));
  EXPECT_THAT(error, HasSubstr("is not a folder"));
}

TEST(VexoServerAnswerCacheOrigin, TokenReplacedAndEscaped) {
  EXPECT_EQ(SubstituteOrigin("<url>{{origin}}/files/</url>", "http://h:1"),
            "<url>http://h:1/files/</url>");
  EXPECT_EQ(SubstituteOrigin("{{origin}}{{origin}}", "http://a?b&c"),
            "http://a?b&amp;chttp://a?b&amp;c");
  EXPECT_EQ(SubstituteOrigin("{{origin", "http://h"), "{{origin");
  EXPECT_EQ(SubstituteOrigin("", "http://h"), "");
}

class VexoServerAnswerCacheTest : public ::testing::Test {
 protected:
  AnswerCache cache_{"http://o",
                     [this](std::string_view text) {
                       ++encipherCalls_;
                       return "[" + std::string(text) + "]";
                     },
                     [this](const std::string& message) { warnings_.push_back(message); }};
  TempFolder folder_;
  int encipherCalls_ = 0;
  std::vector<std::string> warnings_;
};

TEST_F(VexoServerAnswerCacheTest, EnciphersOncePerVersionOfTheFile) {
  std::string path = folder_.File("start.xml");
  WriteFile(path, "<url>{{origin}}</url>");
  ASSERT_TRUE(cache_.Get(path));
  EXPECT_EQ(*cache_.Get(path), "[<url>http://o</url>]");
  EXPECT_EQ(encipherCalls_, 1);

  WriteFile(path, "<url>changed {{origin}}</url>");
  EXPECT_EQ(*cache_.Get(path), "[<url>changed http://o</url>]");
  EXPECT_EQ(encipherCalls_, 2);

  std::filesystem::remove(path);
  EXPECT_FALSE(cache_.Get(path));
}

TEST_F(VexoServerAnswerCacheTest, OversizedAnswersAreRefusedAndLongOnesWarned) {
  std::string huge = folder_.File("huge.xml");
  WriteFile(huge, std::string(kMaxAnswerFileBytes + 1, 'x'));
  EXPECT_FALSE(cache_.Get(huge));
  ASSERT_EQ(warnings_.size(), 1u);
  EXPECT_THAT(warnings_[0], HasSubstr("larger than"));

  std::string longer = folder_.File("long.xml");
  WriteFile(longer, std::string(kAgentAnswerLimitBytes, 'x'));
  EXPECT_TRUE(cache_.Get(longer));
  ASSERT_EQ(warnings_.size(), 2u);
  EXPECT_THAT(warnings_[1], HasSubstr("agents read only the first 102400"));
}

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
      {folder_.File("a-folder"), "unable to open"},
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
  std::string firstJson;
  for (const std::string& location : locations) {
    SCOPED_TRACE(location);
    {
      auto store = Open(location);
      store->Record({now - 91 * day, "start", "1.0.5.0", "old.exe", "10.0.0.1", 200});
      store->Record({now - 89 * day, "start", "1.0.6.0", "kept.exe", "10.0.0.2", 200});
      store->Record({now, "start", "1.0.6.0", "kept.exe", "10.0.0.3", 200});
      store->Record({now, "popup", "1.0.6.0", "kept.exe", "10.0.0.3", 200});
      store->Record({now, "start", "1.0.5.0", "\xFF" + std::string(300, 'x'), "10.0.0.4", 200});
      store->RecordDownload({now - 89 * day, "a.exe", 10, true});
      store->RecordDownload({now, "a.exe", 10, true});
      store->RecordDownload({now, "a.exe", 3, false});
    }
    auto store = Open(location, {90, 100000});
    CheckinSummary summary = store->Summarize(10, 10);
    for (int wait = 0; wait < 250 && summary.recent.size() == 5 && summary.recent[4].client != "";
         ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // retention runs beside
      summary = store->Summarize(10, 10);
    }
    EXPECT_EQ(summary.total, 5);
    ASSERT_EQ(summary.recent.size(), 5u);
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
    EXPECT_EQ(summary.databaseError, "");

    std::string json = RenderStatsJson(summary);
    if (firstJson.empty()) {
      firstJson = json;
    } else {
      EXPECT_EQ(json, firstJson) << "the same /stats from either store";
    }
  }
}

// A file of an earlier server, without the downloads, is upgraded in place; one from a newer
// server is refused.
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
  execute(earlier, "UPDATE schema_version SET version = version + 1;");
  std::string error;
  EXPECT_FALSE(CheckinStore::Open(earlier, nullptr, error));
  EXPECT_THAT(error, HasSubstr("is newer than this server's"));
}

TEST(VexoServerStatsReport, EscapesWhateverTheNetworkSent) {
  struct Case {
    std::string raw;
    const char* json;
    const char* html;
  };
  const Case cases[] = {
      {"1.0.6.0", "1.0.6.0", "1.0.6.0"},
      {"<script>\"x\"&'", "<script>\\\"x\\\"&'", "&lt;script&gt;&quot;x&quot;&amp;&#39;"},
      {"a\\b\nc\x01", "a\\\\b\\nc\\u0001", "a\\b?c?"},
      {"\xE6\x97\xA5", "\xE6\x97\xA5", "\xE6\x97\xA5"},  // well-formed UTF-8 stays
      {"\xFF\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xE6\x97", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // cut sequence
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.raw);
    EXPECT_EQ(EscapeJsonString(row.raw), row.json);
    EXPECT_EQ(EscapeHtml(row.raw), row.html);
  }
}

TEST(VexoServerStatsReport, RendersEveryList) {
  CheckinSummary summary;
  summary.total = 3;
  summary.perVersion = {{"1.0.6.0", 2}, {"", 1}};
  summary.perApplication = {{"setup.exe", 3}};
  summary.perDay = {{"2024-12-08", 3}};
  summary.recent = {{1733616000, "start", "1.0.6.0", "setup.exe", "127.0.0.1", 200}};
  std::string json = RenderStatsJson(summary);
  EXPECT_THAT(json, HasSubstr("\"total\": 3"));
  EXPECT_THAT(json, HasSubstr("\"per_version\": [{\"value\": \"1.0.6.0\", \"count\": 2}, "
                              "{\"value\": \"\", \"count\": 1}]"));
  EXPECT_THAT(json, HasSubstr("\"time\": \"2024-12-08T00:00:00Z\""));
  std::string html = RenderStatsHtml(summary);
  EXPECT_THAT(html, HasSubstr("<td>setup.exe</td><td class=\"n\">3</td>"));
  EXPECT_THAT(html, HasSubstr("<i>(empty)</i>"));
  EXPECT_THAT(html, HasSubstr("<td>2024-12-08</td>"));
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The attribute `name` of the first element after `from` in `html`.
std::string AttributeAfter(const std::string& html, const std::string& from,
                           const std::string& name) {
  size_t start = html.find(name + "=\"", html.find(from));
  if (start == std::string::npos) {
    return {};
  }
  start += name.size() + 2;
  return html.substr(start, html.find('"', start) - start);
}

TEST(VexoServerSvgChart, DaysTicksAndVersionOrder) {
  EXPECT_EQ(ParseDay("1970-01-01"), 0);
  EXPECT_EQ(ParseDay("2024-12-08"), 20065);
  EXPECT_EQ(FormatDay(20065), "2024-12-08");
  for (const char* malformed : {"2024-02-30", "2024-12-8", "-024-12-08", "2024/12/08", ""}) {
    SCOPED_TRACE(malformed);
    EXPECT_FALSE(ParseDay(malformed));
  }
  struct TickCase {
    double maximum;
    std::vector<int64_t> ticks;
  };
  const TickCase tickCases[] = {{0, {0, 1}},          {3, {0, 1, 2, 3}},
                                {12, {0, 5, 10, 15}}, {37, {0, 10, 20, 30, 40}},
                                {100, {0, 50, 100}},  {101, {0, 50, 100, 150}}};
  for (const TickCase& row : tickCases) {
    SCOPED_TRACE(row.maximum);
    EXPECT_EQ(CountTicks(row.maximum), row.ticks);
  }
  struct OrderCase {
    const char *before, *after;
  };
  const OrderCase orderCases[] = {
      {"1.0.9.0", "1.0.10.0"}, {"1.0", "1.0.0"}, {"1.0.6.0", "1.0.beta"}, {"1", ""}, {"01", "1"},
      {"2.0", "10.0"}};
  for (const OrderCase& row : orderCases) {
    SCOPED_TRACE(std::string(row.before) + " < " + row.after);
    EXPECT_TRUE(VersionBefore(row.before, row.after));
    EXPECT_FALSE(VersionBefore(row.after, row.before));
  }
}

TEST(VexoServerAdoptionCharts, SeriesPerVersionAxesLegendAndTables) {
  CheckinSummary summary;
  summary.startsPerDayByVersion = {{"2024-12-06", "1.0.5.0", 30},
                                   {"2024-12-06", "1.0.10.0", 10},
                                   {"2024-12-08", "1.0.5.0", 5},
                                   {"2024-12-08", "1.0.10.0", 15},
                                   {"not a day", "1.0.5.0", 99}};
  summary.downloadsPerDay = {{"2024-12-08", 7, 2}};
  std::string html = RenderStatsHtml(summary);

  EXPECT_EQ(Occurrences(html, "<svg "), 3u);
  EXPECT_EQ(Occurrences(html, "role=\"img\" aria-labelledby=\""), 3u);
  EXPECT_EQ(Occurrences(html, "<g class=\"series\" data-series=\"1.0.10.0\""), 2u);
  EXPECT_EQ(Occurrences(html, "<g class=\"legend-entry\">"), 6u);
  std::string newColour = AttributeAfter(html, "data-series=\"1.0.10.0\"", "fill");
  std::string shares = html.substr(html.find("id=\"version-shares\""));
  EXPECT_EQ(AttributeAfter(shares, "data-series=\"1.0.10.0\"", "fill"), newColour);
  EXPECT_NE(newColour, AttributeAfter(html, "data-series=\"1.0.5.0\"", "fill"));
  EXPECT_THAT(html, HasSubstr(">100 %</text>"));  // the share axis
  EXPECT_THAT(html, HasSubstr(">40</text>"));     // the count axis reaches the tallest day
  EXPECT_THAT(html, HasSubstr(">8 Dec</text>"));
  // All three charts on one day axis, the downloads' included.
  EXPECT_EQ(Occurrences(html, "day (UTC), 2024-12-06 to 2024-12-08"), 3u);
  // The day without check-ins is drawn as one, and has no share.
  EXPECT_THAT(html, HasSubstr("<tr><th scope=\"row\">2024-12-07</th><td class=\"n\">0</td>"));
  EXPECT_THAT(html, HasSubstr("<tr><th scope=\"row\">2024-12-07</th><td class=\"n\">\xE2\x80\x93"));
  EXPECT_THAT(html, HasSubstr("<td class=\"n\">75.0 %</td><td class=\"n\">25.0 %</td>"));
  EXPECT_THAT(html, HasSubstr("<th scope=\"col\">cut short</th><th scope=\"col\">completed</th>"));
}

TEST(VexoServerAdoptionCharts, HostileAndSurplusVersions) {
  const std::string hostile = "\"></text></svg><script>alert(1)</script><img src=x onerror=y>";
  CheckinSummary summary;
  for (int i = 0; i < 9; ++i) {
    summary.startsPerDayByVersion.push_back({"2024-12-08", "1.0." + std::to_string(i), 10 + i});
  }
  summary.startsPerDayByVersion.push_back({"2024-12-08", hostile, 100});
  summary.startsPerDayByVersion.push_back({"2024-03-01", "0.9", 1});  // before the window
  std::string html = RenderStatsHtml(summary);

  EXPECT_THAT(html, Not(HasSubstr("<script")));
  EXPECT_THAT(html, Not(HasSubstr("<img")));
  // Named in both charts' series, tooltips, legend titles and table headings.
  EXPECT_EQ(Occurrences(html, "&lt;script&gt;"), 2u * 4u);
  EXPECT_THAT(html, HasSubstr("<title>&quot;&gt;&lt;/text&gt;"));  // the cut legend's full text
  EXPECT_EQ(Occurrences(html, "<g class=\"legend-entry\">"), 2 * (kAdoptionNamedVersions + 1));
  EXPECT_THAT(html, HasSubstr("data-series=\"other versions\" fill=\"#999999\""));
  EXPECT_THAT(html, Not(HasSubstr("data-series=\"1.0.1\"")));  // among the other versions
  EXPECT_THAT(html, Not(HasSubstr("\"0.9\"")));
  std::string firstDay = FormatDay(*ParseDay("2024-12-08") - kAdoptionChartDays + 1);
  EXPECT_THAT(html, HasSubstr("day (UTC), " + firstDay + " to 2024-12-08"));
}

TEST(VexoServerAdoptionCharts, NothingToDrawYet) {
  CheckinSummary summary;
  summary.startsPerDayByVersion = {{"2024-12-08", "1.0.6.0", 0}};
  std::string html = RenderStatsHtml(summary);
  EXPECT_THAT(html, HasSubstr("No check-ins yet"));
  EXPECT_THAT(html, HasSubstr("No installer downloads yet"));
  EXPECT_THAT(html, Not(HasSubstr("<svg")));
}

TEST(VexoServerAccessLogLine, CommonLogFormatWithHostileBytesEscaped) {
  AccessRecord record{"127.0.0.1", 1733616000, "GET", "/a?t=x\" 200 1\n\x1b[2J\\",
                      "HTTP/1.1",  404,        10};
  EXPECT_EQ(FormatAccessLine(record),
            "127.0.0.1 - - [08/Dec/2024:00:00:00 +0000] "
            "\"GET /a?t=x\\x22 200 1\\x0a\\x1b[2J\\x5c HTTP/1.1\" 404 10");
}

// The routing on its own, with a readable stand-in for the cipher.
class VexoServerRequestRouterTest : public VexoServerContentFolderTest {
 protected:
  void SetUp() override {
    VexoServerContentFolderTest::SetUp();
    std::string error;
    store_ = CheckinStore::Open(folder_.File("checkins.db"), nullptr, error);
    ASSERT_TRUE(store_) << error;
    router_.emplace(*content_, answers_, *store_);
  }
  Reply Get(std::string_view path, std::string q = {}, std::string t = {}) {
    return router_->Handle(
        Request{"GET", path, q, "1.0.6.0", t, "127.0.0.1", 1733616000, false, {}});
  }

  AnswerCache answers_{
      "http://o", [](std::string_view text) { return "E(" + std::string(text) + ")"; }, nullptr};
  std::unique_ptr<CheckinStore> store_;
  std::optional<RequestRouter> router_;
};

TEST_F(VexoServerRequestRouterTest, StatusPerRequest) {
  struct Case {
    const char* method;
    const char* path;
    const char* q;
    unsigned status;
    const char* body;
  };
  const Case cases[] = {
      {"GET", "/client/getData.php", "start", 200, "E(top start)"},
      {"HEAD", "/client/getData.php", "popup", 200, "E(top popup)"},
      {"GET", "/client/getData.php", "Start", 400, nullptr},
      {"GET", "/client/getData.php", "", 400, nullptr},
      {"POST", "/client/getData.php", "start", 405, nullptr},
      {"GET", "/files/../start.xml", "", 403, nullptr},
      {"GET", "/files//etc/passwd", "", 403, nullptr},
      {"GET", "/files/missing.exe", "", 404, nullptr},
      {"GET", "/start.xml", "", 404, nullptr},
      {"GET", "/client/getData.php/", "start", 404, nullptr},
      {"GET", "/stats", "", 404, nullptr},  // served on the admin listener only
      {"GET", "/stats.html", "", 404, nullptr},
      {"GET", "/stats/anything", "", 404, nullptr},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(std::string(row.method) + " " + row.path + " q=" + row.q);
    Reply reply = router_->Handle(Request{row.method, row.path, row.q, "", "", "c", 0, false, {}});
    EXPECT_EQ(reply.status, row.status);
    if (row.body) {
      ASSERT_TRUE(reply.body);
      EXPECT_EQ(*reply.body, row.body);
    }
  }
}

TEST_F(VexoServerRequestRouterTest, EveryQueryIsRecordedWithItsStatus) {
  Get(kQueryPath, "start", "lite.exe");
  Get(kQueryPath, "nonsense", "setup.exe");
  Get("/files/setup.exe");
  CheckinSummary summary = store_->Summarize(10, 10);
  ASSERT_EQ(summary.total, 2);
  EXPECT_EQ(summary.recent[0].query, "nonsense");
  EXPECT_EQ(summary.recent[0].status, 400);
  EXPECT_EQ(summary.recent[1].application, "lite.exe");
  EXPECT_EQ(summary.recent[1].status, 200);

  AdminGate openGate(std::nullopt);
  Reply stats = AdminRouter(*store_, openGate)
                    .Handle(Request{"GET", "/stats", {}, {}, {}, "c", 0, false, {}});
  ASSERT_TRUE(stats.body);
  EXPECT_EQ(stats.contentType, "application/json");
  EXPECT_THAT(*stats.body, HasSubstr("\"total\": 2"));
}

TEST_F(VexoServerRequestRouterTest, AdminPagesOnlyWithTheSecret) {
  Get(kQueryPath, "start", "setup.exe");
  AdminGate gate(std::string("s3cret"));
  AdminRouter admin(*store_, gate);
  struct Case {
    const char* method;
    const char* path;
    std::optional<std::string> credential;
    unsigned status;
    const char* contentType;
  };
  const Case cases[] = {
      {"GET", "/stats", std::nullopt, 401, "text/plain; charset=utf-8"},
      {"GET", "/stats.html", "wrong", 401, "text/plain; charset=utf-8"},
      {"GET", "/nowhere", std::nullopt, 401, "text/plain; charset=utf-8"},
      {"POST", "/stats", std::nullopt, 401, "text/plain; charset=utf-8"},
      {"GET", "/stats", "s3cret", 200, "application/json"},
      {"HEAD", "/stats.html", "s3cret", 200, "text/html; charset=utf-8"},
      {"GET", "/client/getData.php", "s3cret", 404, "text/plain; charset=utf-8"},
      {"POST", "/stats", "s3cret", 405, "text/plain; charset=utf-8"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(std::string(row.method) + " " + row.path + " " + row.credential.value_or("-"));
    Reply reply =
        admin.Handle(Request{row.method, row.path, {}, {}, {}, "c", 0, false, row.credential});
    EXPECT_EQ(reply.status, row.status);
    EXPECT_EQ(reply.contentType, row.contentType);
    ASSERT_TRUE(reply.body);
    if (row.status == 401) {
      EXPECT_EQ(*reply.body, "authentication required\n");
    }
  }
  EXPECT_EQ(store_->Summarize(10, 10).total, 1) << "admin requests are no check-ins";
}

TEST_F(VexoServerRequestRouterTest, PerApplicationAnswer) {
  Reply reply = Get(kQueryPath, "start", "lite.exe");
  ASSERT_TRUE(reply.body);
  EXPECT_EQ(*reply.body, "E(lite start)");
}

}  // namespace
}  // namespace vexo::server
