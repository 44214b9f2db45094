// The agents' listener of vexo-server without the network: content folder checks, the answer
// cache, rollout policies and the offer they hold back, and the routing of each request (with
// the admin listener's beside it).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server/admin/admin_access.h"
#include "server/admin/admin_router.h"
#include "server/agents/answer_cache.h"
#include "server/agents/byte_ranges.h"
#include "server/agents/cohort.h"
#include "server/agents/content_folder.h"
#include "server/agents/request_router.h"
#include "server/agents/start_answer_offer.h"
#include "server/common/rollout_policy.h"
#include "server/store/checkin_store.h"
#include "tests/support/program_runner.h"

namespace vexo::server {
namespace {

using ::testing::HasSubstr;
using vexo::testing::ReadFile;
using vexo::testing::TempFolder;
using vexo::testing::WriteFile;

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
  EXPECT_EQ(*cache_.Get(path)->body, "[<url>http://o</url>]");
  EXPECT_EQ(encipherCalls_, 1);

  WriteFile(path, "<url>changed {{origin}}</url>");
  EXPECT_EQ(*cache_.Get(path)->body, "[<url>changed http://o</url>]");
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

constexpr char kSalt[] = "000102030405060708090a0b0c0d0e0f";

TEST(VexoServerRolloutPolicy, MalformedPoliciesAreRefusedWithTheirLine) {
  const std::string salt = std::string("salt = ") + kSalt + "\n";
  struct Case {
    std::string text;
    const char* fault;  // "" when the policy is read
  };
  const Case cases[] = {
      {"# comment\n[1.0.7.0]\n" + salt +
           "start = 2024-12-08T18:00:00Z  # when\n"
           "schedule = 1% 5%@1d, 20%@36h 100%@7d\nhalted = 2024-12-09T07:30:00Z\nforced = "
           "immediate\n",
       ""},
      {"\xEF\xBB\xBF[2]\r\n" + salt + "schedule = 10%\r\n", ""},
      {"", "no [release] section"},
      {"schedule = 10%\n[1]\n" + salt, "line 1: a setting before the first [release]"},
      {"[1]\nschedule = 10%\n", "[1] has no salt"},
      {"[1]\n" + salt, "[1] has no schedule"},
      {"[1]\nsalt = 0001\nschedule = 10%\n", "line 2: salt must be 32 hex digits"},
      {"[1]\n" + salt + "schedule = 10%\nshare = 20%\n", "line 4: unknown setting 'share'"},
      {"[1]\n" + salt + "schedule = 10%\nschedule = 20%\n", "schedule is given twice"},
      {"[1]\n" + salt + "schedule = 10%\n[1]\n", "[1] is given twice"},
      {"[1\n", "line 1: a section is a release's version in brackets"},
      {"[1]\n" + salt + "schedule = 50% 10%@1d\n", "shares only grow"},
      {"[1]\n" + salt + "schedule = 10%@1d 20%@24h\n", "the steps' times must grow"},
      {"[1]\n" + salt + "schedule = 10% 20%@1d\n", "[1] has a schedule over time but no start"},
      {"[1]\n" + salt + "schedule = 101%\n", "'101%' is not a step"},
      {"[1]\n" + salt + "schedule = 10%@1w\n", "'10%@1w' is not a step"},
      {"[1]\n" + salt + "schedule =\n", "at least one step"},
      {"[1]\n" + salt + "schedule = 10%\nhalted = maybe\n", "halted must be no, yes or"},
      {"[1]\n" + salt + "schedule = 10%\nstart = 2024-12-08\n", "start must be a time"},
      {"[1]\n" + salt + "schedule = 10%\nforced = skip\n", "forced must be immediate or ramp"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.text);
    std::string error;
    std::optional<RolloutPolicy> policy = ParseRolloutPolicy(row.text, error);
    ASSERT_EQ(policy.has_value(), *row.fault == '\0') << error;
    if (!policy) {
      EXPECT_THAT(error, HasSubstr(row.fault));
      continue;
    }
    std::optional<RolloutPolicy> again = ParseRolloutPolicy(FormatRolloutPolicy(*policy), error);
    ASSERT_TRUE(again) << error;
    ASSERT_EQ(again->releases.size(), 1u);
    const ReleaseRollout& read = policy->releases[0];
    const ReleaseRollout& reread = again->releases[0];
    EXPECT_EQ(reread.salt, read.salt);
    EXPECT_EQ(reread.steps, read.steps);
    EXPECT_EQ(reread.start, read.start);
    EXPECT_EQ(reread.haltedSince, read.haltedSince);
    EXPECT_EQ(reread.forcedImmediate, read.forcedImmediate);
  }
}

TEST(VexoServerRolloutPolicy, ShareFollowsTheScheduleAndTheBrake) {
  std::string error;
  std::optional<std::vector<RolloutStep>> steps = ParseSchedule("0.5% 5%@1d 20%@2d 100%@7d", error);
  ASSERT_TRUE(steps) << error;
  EXPECT_EQ(FormatSchedule(*steps), "0.5% 5%@1d 20%@2d 100%@7d");
  constexpr int64_t kStart = 1733680800;
  constexpr int64_t kDay = 86400;
  ReleaseRollout rollout{"1.0.7.0", {}, kStart, *steps, false, 0, false};
  struct Case {
    const char* name;
    int64_t at;
    bool halted, forcedOffer, forcedImmediate;
    int share;
  };
  const Case cases[] = {
      {"before the start", kStart - 1, false, false, false, 0},
      {"first step", kStart, false, false, false, 50},
      {"just before a day", kStart + kDay - 1, false, false, false, 50},
      {"second step", kStart + kDay, false, false, false, 500},
      {"last step", kStart + 30 * kDay, false, false, false, kWholeShare},
      {"halted", kStart + 30 * kDay, true, false, false, 0},
      {"forced, on the ramp", kStart, false, true, false, 50},
      {"forced, immediate", kStart, false, true, true, kWholeShare},
      {"forced, immediate, halted", kStart, true, true, true, 0},
      {"immediate, not forced", kStart, false, false, true, 50},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    rollout.halted = row.halted;
    rollout.forcedImmediate = row.forcedImmediate;
    EXPECT_EQ(rollout.ShareAt(row.at, row.forcedOffer), row.share);
  }
  EXPECT_EQ(ParseShare("12.5"), 1250);
  EXPECT_EQ(ParseShare("0.05%"), 5);
  EXPECT_EQ(ParseShare("100"), kWholeShare);
  for (const char* text : {"100.01", "5.", ".5", "-1", "1.234", "1e1", "%", ""}) {
    EXPECT_EQ(ParseShare(text), std::nullopt) << text;
  }
  EXPECT_EQ(FormatShare(1250), "12.5%");
  EXPECT_EQ(FormatShare(5), "0.05%");
}

TEST(VexoServerCohort, AnIpv6AgentCountsByItsNetwork) {
  RolloutSalt salt{1, 2, 3};
  int place = CohortPlace(salt, *IpAddress::Parse("2001:db8:1:2::1"));
  EXPECT_EQ(CohortPlace(salt, *IpAddress::Parse("2001:db8:1:2:ffff:ffff:ffff:9")), place);
  EXPECT_NE(CohortPlace(RolloutSalt{9}, *IpAddress::Parse("2001:db8:1:2::1")), place);
  EXPECT_EQ(CohortPlace(salt, *IpAddress::Parse("::ffff:192.0.2.1")),
            CohortPlace(salt, *IpAddress::Parse("192.0.2.1")));
  EXPECT_EQ(CohortPlace(salt, IpAddress()), kWholeShare - 1);
  EXPECT_FALSE(InShare(salt, IpAddress(), kWholeShare - 1));
  EXPECT_TRUE(InShare(salt, IpAddress(), kWholeShare));
}

TEST(VexoServerStartAnswerOffer, FoundAndCutAsAgentsFindIt) {
  const std::string offer =
      "<software_update><status>y</status><force>n</force><version>2.0</version>"
      "</software_update>";
  struct Case {
    const char* name;
    std::string answer;
    bool present;
    const char* version;
    bool forced;
    std::optional<std::string> without;
  };
  const Case cases[] = {
      {"one offer on its own line",
       "<response>\n <data>\n  " + offer + "\n  <mini_popup/>\n </data>\n</response>", true, "2.0",
       false, "<response>\n <data>\n  <mini_popup/>\n </data>\n</response>"},
      {"a second offer behind the first",
       "<response><data>" + offer +
           "<software_update><status>y</status><version>9</version></software_update>"
           "<x/></data></response>",
       true, "2.0", false, "<response><data><x/></data></response>"},
      {"not offered",
       "<response><data><software_update><status>n</status></software_update>"
       "</data></response>",
       false, "", false, "<response><data></data></response>"},
      {"version before force: agents find no version",
       "<response><data><software_update><status>y</status><version>2</version>"
       "<force>y</force></software_update></data></response>",
       true, "", true, "<response><data></data></response>"},
      {"an offer outside data is no offer", "<response>" + offer + "<data/></response>", false, "",
       false, "<response>" + offer + "<data/></response>"},
      {"not well-formed", "<response><data>" + offer + "<b></data></response>", true, "2.0", false,
       std::nullopt},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    OfferInAnswer read = ReadOffer(row.answer);
    EXPECT_EQ(read.present, row.present);
    EXPECT_EQ(read.version, row.version);
    EXPECT_EQ(read.forced, row.forced);
    EXPECT_EQ(WithoutOffer(row.answer), row.without);
  }
  EXPECT_EQ(WithOffer("<response><data><x/></data></response>", "<o/>"),
            "<response><data><o/><x/></data></response>");
  EXPECT_EQ(
      WithOffer("<response><data><a/>" + offer + "<b/>" + offer + "</data></response>", "<o/>"),
      "<response><data><a/><o/><b/></data></response>");
  EXPECT_EQ(WithOffer("<response><data/></response>", "<o/>"), std::nullopt);
  EXPECT_EQ(WithOffer("<response/>", "<o/>"), std::nullopt);
}

std::vector<RolloutStatus> NoRollouts(int64_t) {
  return {};
}

// The routing on its own, with a readable stand-in for the cipher.
class VexoServerRequestRouterTest : public VexoServerContentFolderTest {
 protected:
  void SetUp() override {
    VexoServerContentFolderTest::SetUp();
    std::string error;
    store_ = CheckinStore::Open(folder_.File("checkins.db"), nullptr, error);
    ASSERT_TRUE(store_) << error;
    router_.emplace(*content_, answers_, rollouts_, *store_, metrics_);
  }
  Reply Get(std::string_view path, std::string q = {}, std::string t = {}) {
    return router_->Handle(Request{"GET",
                                   path,
                                   {{"q", q}, {"ver", "1.0.6.0"}, {"t", t}},
                                   "127.0.0.1",
                                   1733616000,
                                   false,
                                   {},
                                   *IpAddress::Parse("127.0.0.1"),
                                   {},
                                   {}});
  }

  AnswerCache answers_{
      "http://o", [](std::string_view text) { return "E(" + std::string(text) + ")"; }, nullptr};
  prometheus::Registry registry_;
  AgentMetrics metrics_{registry_};
  std::vector<std::string> warnings_;
  RolloutGate rollouts_{[this](const std::string& message) { warnings_.push_back(message); }};
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
    Reply reply = router_->Handle(
        Request{row.method, row.path, {{"q", row.q}}, "c", 0, false, {}, {}, {}, {}});
    EXPECT_EQ(reply.status, row.status);
    if (row.body) {
      ASSERT_TRUE(reply.body);
      EXPECT_EQ(*reply.body, row.body);
    }
  }
}

// Installers in part, as HTTP says: a single byte range (If-Range permitting) gets 206 with that
// part, one past the end 416; anything else, and HEAD, the whole file.
TEST_F(VexoServerRequestRouterTest, InstallersAnswerASingleByteRange) {
  auto download = [&](const char* method, std::optional<std::string> range,
                      std::optional<std::string> ifRange) {
    return router_->Handle(Request{method,
                                   "/files/setup.exe",
                                   {},
                                   "c",
                                   0,
                                   false,
                                   {},
                                   {},
                                   std::move(range),
                                   std::move(ifRange)});
  };
  auto header = [](const Reply& reply, std::string_view name) {
    for (const ReplyHeader& each : reply.headers) {
      if (each.name == name) {
        return each.value;
      }
    }
    return std::string("(none)");
  };
  const Reply plain = download("GET", std::nullopt, std::nullopt);
  const std::string tag = header(plain, "ETag");
  const std::string date = header(plain, "Last-Modified");
  EXPECT_THAT(tag, ::testing::MatchesRegex("\"[0-9a-f]+-[0-9a-f]+\""));
  EXPECT_THAT(date, ::testing::MatchesRegex("[A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} "
                                            "[0-9]{2}:[0-9]{2}:[0-9]{2} GMT"));
  EXPECT_EQ(HttpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  struct Case {
    const char* name;
    const char* method;
    std::optional<std::string> range;
    std::optional<std::string> ifRange;
    unsigned status;
    uint64_t first;
    uint64_t length;
    const char* contentRange;
  };
  const Case cases[] = {
      {"no range", "GET", std::nullopt, std::nullopt, 200, 0, 300, "(none)"},
      {"start", "GET", "bytes=0-99", std::nullopt, 206, 0, 100, "bytes 0-99/300"},
      {"middle", "GET", "bytes=100-199", std::nullopt, 206, 100, 100, "bytes 100-199/300"},
      {"the rest", "GET", "bytes=250-", std::nullopt, 206, 250, 50, "bytes 250-299/300"},
      {"the last bytes", "GET", "Bytes=-50", std::nullopt, 206, 250, 50, "bytes 250-299/300"},
      {"past the end, cut to it", "GET", "bytes=290-999", std::nullopt, 206, 290, 10,
       "bytes 290-299/300"},
      {"one past the end", "GET", "bytes=300-", std::nullopt, 416, 0, 0, "bytes */300"},
      {"no last bytes", "GET", "bytes=-0", std::nullopt, 416, 0, 0, "bytes */300"},
      {"several ranges", "GET", "bytes=0-9, 20-29", std::nullopt, 200, 0, 300, "(none)"},
      {"last before first", "GET", "bytes=9-5", std::nullopt, 200, 0, 300, "(none)"},
      {"beyond 64 bits", "GET", "bytes=18446744073709551616-", std::nullopt, 200, 0, 300, "(none)"},
      {"another unit", "GET", "items=0-9", std::nullopt, 200, 0, 300, "(none)"},
      {"If-Range with the tag", "GET", "bytes=250-", tag, 206, 250, 50, "bytes 250-299/300"},
      {"If-Range with the date", "GET", "bytes=250-", date, 206, 250, 50, "bytes 250-299/300"},
      {"If-Range with a stale tag", "GET", "bytes=250-", "\"1-2\"", 200, 0, 300, "(none)"},
      {"If-Range with the tag, weak", "GET", "bytes=250-", "W/" + tag, 200, 0, 300, "(none)"},
      {"If-Range with a stale date", "GET", "bytes=250-", "Sun, 06 Nov 1994 08:49:37 GMT", 200, 0,
       300, "(none)"},
      {"HEAD", "HEAD", "bytes=250-", std::nullopt, 200, 0, 300, "(none)"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    Reply reply = download(row.method, row.range, row.ifRange);
    EXPECT_EQ(reply.status, row.status);
    EXPECT_EQ(header(reply, "Accept-Ranges"), "bytes");
    EXPECT_EQ(header(reply, "Content-Range"), row.contentRange);
    ASSERT_EQ(reply.download.has_value(), row.status != 416);
    if (reply.download) {
      EXPECT_EQ(reply.downloadFirst, row.first);
      EXPECT_EQ(reply.DownloadLength(), row.length);
      EXPECT_EQ(header(reply, "ETag"), tag);
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
  ConnectionCounters connections(registry_);
  Reply stats = AdminRouter(*store_, openGate, registry_, NoRollouts, connections)
                    .Handle(Request{"GET", "/stats", {}, "c", 0, false, {}, {}, {}, {}});
  ASSERT_TRUE(stats.body);
  EXPECT_EQ(stats.contentType, "application/json");
  EXPECT_THAT(*stats.body, HasSubstr("\"total\": 2"));
}

TEST_F(VexoServerRequestRouterTest, AdminPagesOnlyWithTheSecret) {
  Get(kQueryPath, "start", "setup.exe");
  AdminGate gate(std::string("s3cret"));
  ConnectionCounters connections(registry_);
  AdminRouter admin(*store_, gate, registry_, NoRollouts, connections);
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
        admin.Handle(Request{row.method, row.path, {}, "c", 0, false, row.credential, {}, {}, {}});
    EXPECT_EQ(reply.status, row.status);
    EXPECT_EQ(reply.contentType, row.contentType);
    ASSERT_TRUE(reply.body);
    if (row.status == 401) {
      EXPECT_EQ(*reply.body, "authentication required\n");
    }
  }
  EXPECT_EQ(store_->Summarize(10, 10).total, 1) << "admin requests are no check-ins";
}

// The policy beside an answer decides who gets its offer; one that cannot be used holds it back
// from everyone, reported once.
TEST_F(VexoServerRequestRouterTest, RolloutHoldsTheOfferBack) {
  WriteFile(root() + "/apps/rolled.exe/start.xml",
            "<response><data><software_update><status>y</status><version>2.0</version>"
            "</software_update><mini_popup/></data></response>");
  const std::string section = std::string("[2.0]\nsalt = ") + kSalt + "\n";
  struct Case {
    const char* name;
    std::optional<std::string> policy;
    bool served;
    const char* warning;
  };
  const Case cases[] = {
      {"no policy", std::nullopt, true, nullptr},
      {"everyone", section + "schedule = 100%\n", true, nullptr},
      {"no one yet", section + "schedule = 0% 100%@1d\nstart = 2099-01-01T00:00:00Z\n", false,
       nullptr},
      {"halted", section + "schedule = 100%\nhalted = yes\n", false, nullptr},
      {"malformed", section + "schedule = 100%\nhalted = soon\n", false, "is malformed"},
      {"another release's", "[1.0]\nsalt = " + std::string(kSalt) + "\nschedule = 100%\n", false,
       "has no section [2.0]"},
  };
  std::string policyPath = root() + "/apps/rolled.exe/start.rollout";
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    warnings_.clear();
    if (row.policy) {
      WriteFile(policyPath, *row.policy);
    }
    for (int query = 0; query < 2; ++query) {
      Reply reply = Get(kQueryPath, "start", "rolled.exe");
      ASSERT_EQ(reply.status, 200u);
      EXPECT_EQ(reply.body->find("software_update") != std::string::npos, row.served);
      EXPECT_THAT(*reply.body, HasSubstr("<mini_popup/>"));
    }
    ASSERT_EQ(warnings_.size(), row.warning ? 1u : 0u);
    if (row.warning) {
      EXPECT_THAT(warnings_[0], HasSubstr(row.warning));
    }
  }
  CheckinSummary summary = store_->Summarize(10, 10);
  ASSERT_EQ(summary.offersPerDayByRelease.size(), 1u);
  EXPECT_EQ(summary.offersPerDayByRelease[0].release, "2.0");
  EXPECT_EQ(summary.offersPerDayByRelease[0].served, 4);
  EXPECT_EQ(summary.offersPerDayByRelease[0].withheld, 8);
}

TEST_F(VexoServerRequestRouterTest, PerApplicationAnswer) {
  Reply reply = Get(kQueryPath, "start", "lite.exe");
  ASSERT_TRUE(reply.body);
  EXPECT_EQ(*reply.body, "E(lite start)");
}

}  // namespace
}  // namespace vexo::server
