// One query: its URL, the single read of the body, deciphering, and the cached values.
#include "agent/query_cycle.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "agent/crypto/answer_cipher.h"
#include "fake_desktop.h"
#include "http/http_error.h"
#include "platform/folders.h"
#include "tests/support/fake_http_server.h"
#include "tests/support/temp_folder.h"

namespace vexo {
namespace {

using testing::FakeDesktop;
using testing::FakeHttpServer;
using testing::FakeReply;
using testing::Wide;

class QueryCycleTest : public ::testing::Test {
 protected:
  QueryCycleTest() : queries(desktop, Wide(server.Origin())) {
    desktop.appData = root.path().u16string();
  }

  testing::TempFolder root;
  FakeHttpServer server;
  FakeDesktop desktop;
  QueryCycle queries;
};

TEST_F(QueryCycleTest, UrlsCarryTheVersionAndTheApplicationNameUnescaped) {
  desktop.machineValues[u"application"] = u"My Calendar&x=1.exe";
  EXPECT_EQ(
      queries.BuildQueryUrl(u"start"),
      Wide(server.Origin()) + u"/client/getData.php?q=start&ver=1.0.6.0&t=My Calendar&x=1.exe");
  desktop.version.reset();
  EXPECT_EQ(queries.BuildQueryUrl(u"popup"),
            Wide(server.Origin()) + u"/client/getData.php?q=popup&ver=&t=My Calendar&x=1.exe");
}

TEST_F(QueryCycleTest, VersionPartsAreSixteenBitsEach) {
  desktop.version = platform::FileVersion{0xFFFF0000, 0x0001FFFF};
  EXPECT_EQ(queries.GetOwnFileVersion(), u"65535.0.1.65535");
  desktop.version = platform::FileVersion{0, 0};
  EXPECT_EQ(queries.GetOwnFileVersion(), u"0.0.0.0");
}

TEST_F(QueryCycleTest, ApplicationNameIsReadOnceAndDefaultsToSetupExe) {
  EXPECT_EQ(queries.ReadApplicationName(), u"setup.exe");
  desktop.machineValues[u"application"] = u"later.exe";
  EXPECT_EQ(queries.ReadApplicationName(), u"setup.exe");
}

TEST_F(QueryCycleTest, AnEmptyApplicationNameCountsAsNotYetRead) {
  desktop.machineValues[u"application"] = u"";
  EXPECT_EQ(queries.ReadApplicationName(), u"");
  desktop.machineValues[u"application"] = u"now.exe";
  EXPECT_EQ(queries.ReadApplicationName(), u"now.exe");
}

TEST_F(QueryCycleTest, DataFolderIsCreatedAndComputedOnce) {
  const char16_t separator = platform::PathSeparator();
  std::u16string folder = queries.GetDataFolder();
  EXPECT_EQ(folder, root.path().u16string() + separator + u"vexo" + separator);
  EXPECT_TRUE(std::filesystem::is_directory(root.path() / "vexo"));
  desktop.appData = u"/elsewhere";
  EXPECT_EQ(queries.GetDataFolder(), folder);
  EXPECT_EQ(desktop.appDataQueries, 1);
}

TEST_F(QueryCycleTest, AnswersAreReadOnceAndCutAtTheBufferSize) {
  const std::string target = "/client/getData.php?q=start&ver=1.0.6.0&t=setup.exe";
  const struct {
    const char* name;
    std::string plain;
    size_t expectedLength;
  } cases[] = {
      {"empty body", "", 0},
      {"short answer", "<response/>", 11},
      {"exactly the buffer", std::string(ANSWER_BUFFER_SIZE, 'a'), ANSWER_BUFFER_SIZE},
      {"longer than the buffer", std::string(ANSWER_BUFFER_SIZE + 4000, 'b'), ANSWER_BUFFER_SIZE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.Route(target, FakeReply::Body(200, EncipherAnswer(c.plain)));
    std::u16string answer = queries.FetchAnswer(u"start");
    EXPECT_EQ(answer.size(), c.expectedLength);
    EXPECT_EQ(answer, Wide(c.plain.substr(0, c.expectedLength)));
  }
}

TEST_F(QueryCycleTest, ErrorStatusesAreAnswersToo) {
  server.Route("/client/getData.php?q=popup&ver=1.0.6.0&t=setup.exe",
               FakeReply::Body(500, EncipherAnswer("<response><errcode>-1</errcode></response>")));
  EXPECT_EQ(queries.FetchAnswer(u"popup"), u"<response><errcode>-1</errcode></response>");
}

TEST_F(QueryCycleTest, TransferFailuresArriveAsTheClientsException) {
  desktop.machineValues[u"server"] = u"http://127.0.0.1:1";
  EXPECT_THROW(queries.FetchAnswer(u"start"), httpclientexceptionW);
  desktop.machineValues[u"server"] = u"http://";
  EXPECT_THROW(queries.FetchAnswer(u"start"), httpclientexceptionW);
}

}  // namespace
}  // namespace vexo
