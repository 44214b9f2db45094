// The agents' listener of vexo-server without the network: content folder checks, the answer
// cache, and the routing of each request (with the admin listener's beside it).
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
#include "server/agents/content_folder.h"
#include "server/agents/request_router.h"
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
  Reply stats = AdminRouter(*store_, openGate)
                    .Handle(Request{"GET", "/stats", {}, "c", 0, false, {}, {}, {}, {}});
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

TEST_F(VexoServerRequestRouterTest, PerApplicationAnswer) {
  Reply reply = Get(kQueryPath, "start", "lite.exe");
  ASSERT_TRUE(reply.body);
  EXPECT_EQ(*reply.body, "E(lite start)");
}

}  // namespace
}  // namespace vexo::server
