// The update flow against a real HTTP server on loopback, with a fake desktop: what is
// downloaded, written, asked and launched.
#include "agent/update_installation.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "agent/crypto/md5.h"
#include "fake_desktop.h"
#include "platform/folders.h"
#include "tests/support/fake_http_server.h"
#include "tests/support/temp_folder.h"
#include "tests/support/update_test_keys.h"

namespace vexo {
namespace {

using testing::FakeDesktop;
using testing::FakeHttpServer;
using testing::FakeReply;
using testing::Wide;
namespace fs = std::filesystem;

std::string Upper(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The head of an answer alone, for heads that a download cannot continue with: a body it announces
// never comes (the connection stays open until the client goes away).
FakeReply HeadOnly(int status, const std::string& contentRange, uint64_t announced) {
  FakeReply reply = FakeReply::Body(status, "");
  if (!contentRange.empty())
    reply.headers.emplace_back("Content-Range", contentRange);
  reply.announcedLength = announced;
  if (announced > 0)
    reply.fault = FakeReply::Fault::kStallAfterHeaders;
  return reply;
}

class UpdateInstallationTest : public ::testing::Test {
 protected:
  UpdateInstallationTest() {
    fs::create_directories(DataPath());
    server.Route("/files/setup.exe", FakeReply::Body(200, installer));
    offer.offered = true;
    offer.offeredVersion = u"1.0.7.0";
    offer.downloadUrl = Wide(server.Origin() + "/files/setup.exe");
    offer.installerPath = DataFolder() + u"vexo-setup.exe";
    offer.expectedMd5 = Wide(Md5HexOf(installer));
    offer.installerParams = u"/S /lang=zh";
  }

  fs::path DataPath() const { return root.path() / "vexo"; }
  fs::path InstallerFile() const { return DataPath() / "vexo-setup.exe"; }
  std::u16string DataFolder() const { return DataPath().u16string() + platform::PathSeparator(); }
  void Run(const std::u16string& ownVersion = u"1.0.6.0") {
    RunUpdate(offer, ownVersion, DataFolder(), keys, desktop, nullptr);
  }
  size_t Downloads() const { return server.Requests().size(); }
  static std::string PartialName(const std::string& content) {
    return "vexo-setup.exe." + Md5HexOf(content) + ".partial";
  }
  void ClearDataFolder() {
    fs::remove_all(DataPath());
    fs::create_directories(DataPath());
  }
  // The Range header of each request from the `first` one on ("" for none).
  std::vector<std::string> RangesAskedFrom(size_t first) const {
    std::vector<std::string> ranges;
    const auto requests = server.Requests();
    for (size_t i = first; i < requests.size(); ++i)
      ranges.push_back(requests[i].Header("Range").value_or(""));
    return ranges;
  }
  // Everything in the data folder, so that stray partial files show.
  std::vector<std::string> DataFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(DataPath())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempFolder root;
  FakeHttpServer server;
  FakeDesktop desktop;
  UpdateOffer offer;
  PinnedKeys keys;  // none: the agent as built by default
  const std::string installer = std::string(1000, 'i') + "installer-body";
};

TEST_F(UpdateInstallationTest, NewerOfferIsDownloadedVerifiedAskedAndLaunched) {
  testing::WriteFile(DataPath() / ("vexo-lite.exe." + Md5HexOf("lite") + ".partial"), "lite");
  Run();
  EXPECT_EQ(Downloads(), 1u);
  EXPECT_EQ(testing::ReadFile(InstallerFile()), installer);
  ASSERT_EQ(desktop.questions.size(), 1u);
  EXPECT_EQ(desktop.questions[0], u"Vexo: 发现新版本，是否升级？");
  ASSERT_EQ(desktop.launches.size(), 1u);
  EXPECT_EQ(desktop.launches[0].file, InstallerFile().u16string());
  EXPECT_EQ(desktop.launches[0].parameters, u"/S /lang=zh");
  EXPECT_EQ(DataFiles(), std::vector<std::string>{"vexo-setup.exe"});
}

TEST_F(UpdateInstallationTest, OffersThatAreNotStrictlyNewerDoNothing) {
  const struct {
    const char* name;
    bool offered;
    std::u16string offeredVersion;
    std::u16string ownVersion;
  } cases[] = {
      {"not offered", false, u"1.0.7.0", u"1.0.6.0"},
      {"same version", true, u"1.0.6.0", u"1.0.6.0"},
      {"older version", true, u"1.0.5.9", u"1.0.6.0"},
      {"five components", true, u"1.0.7.0.1", u"1.0.6.0"},
      {"a letter", true, u"1.0.7a", u"1.0.6.0"},
      {"a sign", true, u"+2", u"1.0.6.0"},
      {"no own version", true, u"1.0.7.0", u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::WriteFile(DataPath() / PartialName(installer), "left by an earlier offer");
    offer.offered = c.offered;
    offer.offeredVersion = c.offeredVersion;
    Run(c.ownVersion);
    EXPECT_EQ(Downloads(), 0u);
    EXPECT_TRUE(DataFiles().empty());
    EXPECT_TRUE(desktop.questions.empty());
    EXPECT_TRUE(desktop.launches.empty());
  }
}

TEST_F(UpdateInstallationTest, PresentInstallerWithTheExpectedDigestIsNotDownloadedAgain) {
  testing::WriteFile(InstallerFile(), installer);
  testing::WriteFile(DataPath() / PartialName(installer), installer.substr(0, 600));
  offer.expectedMd5 = Wide(Upper(Md5HexOf(installer)));
  Run();
  EXPECT_EQ(Downloads(), 0u);
  EXPECT_EQ(DataFiles(), std::vector<std::string>{"vexo-setup.exe"});
  EXPECT_EQ(desktop.questions.size(), 1u);
  EXPECT_EQ(desktop.launches.size(), 1u);
}

TEST_F(UpdateInstallationTest, PresentInstallerWithAnotherDigestIsReplaced) {
  testing::WriteFile(InstallerFile(), "an older installer");
  Run();
  EXPECT_EQ(Downloads(), 1u);
  EXPECT_EQ(testing::ReadFile(InstallerFile()), installer);
  EXPECT_EQ(desktop.launches.size(), 1u);
}

TEST_F(UpdateInstallationTest, DownloadsThatCannotBeTrustedLeaveThePreviousFileAndLaunchNothing) {
  FakeReply small = FakeReply::Body(200, std::string(256, 's'));
  FakeReply chunked = FakeReply::Body(200, installer);
  chunked.framing = FakeReply::Framing::kChunked;
  FakeReply shortRead = FakeReply::Body(200, installer);
  shortRead.fault = FakeReply::Fault::kCloseAfterBodyBytes;
  shortRead.faultAfterBodyBytes = 500;
  FakeReply lying = FakeReply::Body(200, installer);
  lying.announcedLength = installer.size() + 100;
  lying.fault = FakeReply::Fault::kCloseAfterBodyBytes;
  lying.faultAfterBodyBytes = installer.size();
  FakeReply notFound = FakeReply::Body(404, std::string(2000, 'e'));
  const struct {
    const char* name;
    FakeReply reply;
  } cases[] = {{"256 bytes", small},
               {"chunked", chunked},
               {"short read", shortRead},
               {"longer announced", lying},
               {"error page", notFound}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearDataFolder();
    testing::WriteFile(InstallerFile(), "previous file");
    server.Route("/files/setup.exe", c.reply);
    Run();
    std::string expected =
        std::string(c.name) == "error page" ? std::string(2000, 'e') : "previous file";
    EXPECT_EQ(testing::ReadFile(InstallerFile()), expected);
    // What a cut 200 brought stays beside the installer, to be completed later.
    std::vector<std::string> files{"vexo-setup.exe"};
    if (c.reply.fault == FakeReply::Fault::kCloseAfterBodyBytes)
      files.push_back(PartialName(installer));
    EXPECT_EQ(DataFiles(), files);
    EXPECT_TRUE(desktop.questions.empty());
    EXPECT_TRUE(desktop.launches.empty());
  }
}

TEST_F(UpdateInstallationTest, WithoutAnInstallerOnDiskAFailedDownloadEndsAtVerification) {
  server.Route("/files/setup.exe", FakeReply::Body(200, std::string(256, 's')));
  Run();
  EXPECT_TRUE(DataFiles().empty());
  EXPECT_TRUE(desktop.launches.empty());

  offer.downloadUrl = u"http://127.0.0.1:1/setup.exe";  // nothing listens there
  Run();
  EXPECT_TRUE(DataFiles().empty());
  EXPECT_TRUE(desktop.questions.empty());
}

TEST_F(UpdateInstallationTest, DigestMismatchKeepsTheFileButLaunchesNothing) {
  offer.expectedMd5 = u"00000000000000000000000000000000";
  Run();
  EXPECT_EQ(testing::ReadFile(InstallerFile()), installer);
  EXPECT_TRUE(desktop.questions.empty());
  EXPECT_TRUE(desktop.launches.empty());
}

TEST_F(UpdateInstallationTest, NoMeansNoLaunchAndTheFileStays) {
  desktop.answerYes = false;
  Run();
  EXPECT_EQ(desktop.questions.size(), 1u);
  EXPECT_TRUE(desktop.launches.empty());
  EXPECT_EQ(testing::ReadFile(InstallerFile()), installer);
}

TEST_F(UpdateInstallationTest, ForcedUpdatesAreLaunchedWithoutAQuestion) {
  offer.force = true;
  offer.installerParams.clear();
  desktop.answerYes = false;
  Run();
  EXPECT_TRUE(desktop.questions.empty());
  ASSERT_EQ(desktop.launches.size(), 1u);
  EXPECT_EQ(desktop.launches[0].parameters, u"");
}

TEST_F(UpdateInstallationTest, InstallerNamesThatLeaveTheDataFolderAreRefused) {
  for (const char16_t* name : {u"../escaped.exe", u"..", u"", u"sub/setup.exe", u"..\\x.exe"}) {
    SCOPED_TRACE(std::u16string(name).size());
    offer.installerPath = DataFolder() + name;
    Run();
    EXPECT_EQ(Downloads(), 0u);
    EXPECT_FALSE(fs::exists(root.path() / "escaped.exe"));
    EXPECT_TRUE(DataFiles().empty());
    EXPECT_TRUE(desktop.launches.empty());
  }
  offer.installerPath = (root.path() / "elsewhere.exe").u16string();
  Run();
  EXPECT_EQ(Downloads(), 0u);
  EXPECT_FALSE(fs::exists(root.path() / "elsewhere.exe"));
}

TEST(SignedStatement, IsTheFixedFourLinesOverTheWholeFile) {
  testing::TempFolder folder;
  std::string content(300000, 'c');  // more than one read of the file
  content += "abc";
  testing::WriteFile(folder.path() / "setup.exe", content);
  std::optional<InstallerFacts> facts = ReadInstallerFacts(folder.path() / "setup.exe");
  ASSERT_TRUE(facts.has_value());
  Sha256 whole;
  whole.Update(content.data(), content.size());
  EXPECT_EQ(facts->size, 300003u);
  EXPECT_EQ(facts->sha256, whole.Final());
  EXPECT_FALSE(ReadInstallerFacts(folder.path() / "missing.exe").has_value());

  Sha256 abc;
  abc.Update("abc", 3);
  EXPECT_EQ(SignedStatement(u"1.0.7.0", InstallerFacts{1234, abc.Final()}),
            "vexo-update-1\nversion=1.0.7.0\nsize=1234\n"
            "sha256=ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n");
}

// With pinned keys only an installer whose signature verifies under one of them is asked about
// and launched; without keys the signature changes nothing.
TEST_F(UpdateInstallationTest, PinnedKeysLaunchOnlyWhatTheyVouchFor) {
  using testing::PinnedTestSeed;
  using testing::SignatureFor;
  const std::string changed = installer + "!";
  const struct {
    const char* name;
    bool pinned;
    std::string signature;
    std::string served;
    bool present;
    bool launched;
  } cases[] = {
      {"first key", true, SignatureFor(PinnedTestSeed(1), u"1.0.7.0", installer), installer, false,
       true},
      {"second key", true, SignatureFor(PinnedTestSeed(2), u"1.0.7.0", installer), installer, false,
       true},
      {"present installer, no download", true,
       SignatureFor(PinnedTestSeed(1), u"1.0.7.0", installer), installer, true, true},
      {"no signature", true, "", installer, false, false},
      {"bad base64", true, "not base64!", installer, false, false},
      {"base64 of another length", true, "c2lnbmF0dXJl", installer, false, false},
      {"unpinned key", true, SignatureFor(testing::UnpinnedTestSeed(), u"1.0.7.0", installer),
       installer, false, false},
      {"statement for another version", true,
       SignatureFor(PinnedTestSeed(1), u"1.0.8.0", installer), installer, false, false},
      {"changed after signing, MD5 to match", true,
       SignatureFor(PinnedTestSeed(1), u"1.0.7.0", installer), changed, false, false},
      {"present installer changed after signing", true,
       SignatureFor(PinnedTestSeed(1), u"1.0.7.0", installer), changed, true, false},
      {"not pinned: an unpinned key's signature", false,
       SignatureFor(testing::UnpinnedTestSeed(), u"1.0.7.0", installer), installer, false, true},
      {"not pinned: bad base64", false, "not base64!", installer, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(InstallerFile());
    if (c.present)
      testing::WriteFile(InstallerFile(), c.served);
    server.Route("/files/setup.exe", FakeReply::Body(200, c.served));
    size_t downloadsBefore = Downloads();
    desktop.questions.clear();
    desktop.launches.clear();
    keys = c.pinned ? PinnedKeys{Ed25519PublicKeyOf(PinnedTestSeed(1)),
                                 Ed25519PublicKeyOf(PinnedTestSeed(2))}
                    : PinnedKeys{};
    offer.expectedMd5 = Wide(Md5HexOf(c.served));
    offer.signature = Wide(c.signature);
    Run();
    EXPECT_EQ(Downloads() - downloadsBefore, c.present ? 0u : 1u);
    EXPECT_EQ(testing::ReadFile(InstallerFile()), c.served);
    EXPECT_EQ(desktop.questions.size(), c.launched ? 1u : 0u);
    EXPECT_EQ(desktop.launches.size(), c.launched ? 1u : 0u);
  }
}

// A download cut in one run stays as a partial file tied to the offer and is completed in the next
// run, asking only for the rest when the server allows it. Whatever way the bytes came, only a
// file that passes the same checks as a fresh download is asked about and launched.
TEST_F(UpdateInstallationTest, CutDownloadsAreCompletedInTheNextRun) {
  using testing::PinnedTestSeed;
  const size_t cut = 600;
  std::string altered = installer;
  altered[cut + 10] = 'X';  // in the bytes the second run brings
  const std::string release = std::string(900, 'n') + "next release";
  auto honouring = [](const std::string& body) {
    FakeReply reply = FakeReply::Body(200, body);
    reply.ranges = FakeReply::Ranges::kHonour;
    return reply;
  };
  const FakeReply whole = FakeReply::Body(200, installer);
  const struct {
    const char* name;
    std::vector<FakeReply> secondRun;
    std::vector<std::string> rangesAsked;
    uint64_t bodyBytes;  // sent in the second run
    std::string served;  // what the offer's digest is of
    bool pinned;
    bool launched;
  } cases[] = {
      {"range honoured", {honouring(installer)}, {"bytes=600-"}, 414, installer, false, true},
      {"range ignored", {whole}, {"bytes=600-"}, 1014, installer, false, true},
      {"206 that starts elsewhere",
       {HeadOnly(206, "bytes 0-413/1014", 414), whole},
       {"bytes=600-", ""},
       1014,
       installer,
       false,
       true},
      {"206 that ends early",
       {HeadOnly(206, "bytes 600-999/1014", 400), whole},
       {"bytes=600-", ""},
       1014,
       installer,
       false,
       true},
      {"206 whose length disagrees with its range",
       {HeadOnly(206, "bytes 600-1013/1014", 1000), whole},
       {"bytes=600-", ""},
       1014,
       installer,
       false,
       true},
      {"206 without a Content-Range",
       {HeadOnly(206, "", 414), whole},
       {"bytes=600-", ""},
       1014,
       installer,
       false,
       true},
      {"416",
       {HeadOnly(416, "bytes */1014", 0), whole},
       {"bytes=600-", ""},
       1014,
       installer,
       false,
       true},
      {"pinned, signed", {honouring(installer)}, {"bytes=600-"}, 414, installer, true, true},
      {"pinned, resumed bytes altered",
       {honouring(altered)},
       {"bytes=600-"},
       414,
       altered,
       true,
       false},
      {"offer changed between runs",
       {honouring(release)},
       {""},
       release.size(),
       release,
       false,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearDataFolder();
    desktop.launches.clear();
    keys = c.pinned ? PinnedKeys{Ed25519PublicKeyOf(PinnedTestSeed(1))} : PinnedKeys{};
    offer.signature = Wide(testing::SignatureFor(PinnedTestSeed(1), u"1.0.7.0", installer));
    const std::string firstServed = c.served == release ? installer : c.served;
    offer.expectedMd5 = Wide(Md5HexOf(firstServed));
    // The first run: cut after `cut` bytes, and the link stays down for the rest of the run.
    FakeReply cutShort = FakeReply::Body(200, firstServed);
    cutShort.fault = FakeReply::Fault::kCloseAfterBodyBytes;
    cutShort.faultAfterBodyBytes = cut;
    FakeReply down = FakeReply::Body(200, "");
    down.fault = FakeReply::Fault::kCloseWithoutReply;
    server.RouteInTurn("/files/setup.exe", {cutShort, down});
    Run();
    EXPECT_EQ(DataFiles(), std::vector<std::string>{PartialName(firstServed)});
    EXPECT_EQ(testing::ReadFile(DataPath() / PartialName(firstServed)), installer.substr(0, cut));
    EXPECT_TRUE(desktop.launches.empty());

    server.RouteInTurn("/files/setup.exe", c.secondRun);
    offer.expectedMd5 = Wide(Md5HexOf(c.served));
    const size_t requestsBefore = server.Requests().size();
    const uint64_t bytesBefore = server.BodyBytesSent();
    Run();
    EXPECT_EQ(RangesAskedFrom(requestsBefore), c.rangesAsked);
    EXPECT_EQ(server.BodyBytesSent() - bytesBefore, c.bodyBytes);
    EXPECT_EQ(testing::ReadFile(InstallerFile()), c.served);
    EXPECT_EQ(DataFiles(), std::vector<std::string>{"vexo-setup.exe"});
    EXPECT_EQ(desktop.launches.size(), c.launched ? 1u : 0u);
  }
}

// Within one run a cut transfer is resumed at once, up to three more times, each only while the
// attempt before it added bytes; what has arrived then waits for the next run.
TEST_F(UpdateInstallationTest, CutTransfersAreResumedWithinTheRunWhileTheyProgress) {
  auto cutAfter = [&](uint64_t bytes, FakeReply::Fault fault, FakeReply::Ranges ranges) {
    FakeReply reply = FakeReply::Body(200, installer);
    reply.fault = fault;
    reply.faultAfterBodyBytes = bytes;
    reply.ranges = ranges;
    return reply;
  };
  using Fault = FakeReply::Fault;
  using Ranges = FakeReply::Ranges;
  FakeReply honouring = FakeReply::Body(200, installer);
  honouring.ranges = Ranges::kHonour;
  const struct {
    const char* name;
    std::vector<FakeReply> replies;
    std::vector<std::string> rangesAsked;
    size_t partialLeft;  // 0: the installer was completed
  } cases[] = {
      {"reset, then the rest",
       {cutAfter(600, Fault::kResetAfterBodyBytes, Ranges::kHonour), honouring},
       {"", "bytes=600-"},
       0},
      {"cut every time after progress",
       {cutAfter(100, Fault::kCloseAfterBodyBytes, Ranges::kHonour)},
       {"", "bytes=100-", "bytes=200-", "bytes=300-"},
       400},
      {"206 of another complete length than the 200 before",
       {cutAfter(600, Fault::kCloseAfterBodyBytes, Ranges::kIgnore),
        HeadOnly(206, "bytes 600-2013/2014", 1414), honouring},
       {"", "bytes=600-", ""},
       0},
      {"range ignored, cut at the same place",
       {cutAfter(500, Fault::kCloseAfterBodyBytes, Ranges::kIgnore)},
       {"", "bytes=500-"},
       500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearDataFolder();
    desktop.launches.clear();
    server.RouteInTurn("/files/setup.exe", c.replies);
    const size_t requestsBefore = server.Requests().size();
    Run();
    EXPECT_EQ(RangesAskedFrom(requestsBefore), c.rangesAsked);
    if (c.partialLeft == 0) {
      EXPECT_EQ(DataFiles(), std::vector<std::string>{"vexo-setup.exe"});
      EXPECT_EQ(desktop.launches.size(), 1u);
    } else {
      EXPECT_EQ(DataFiles(), std::vector<std::string>{PartialName(installer)});
      EXPECT_EQ(testing::ReadFile(DataPath() / PartialName(installer)),
                installer.substr(0, c.partialLeft));
      EXPECT_TRUE(desktop.launches.empty());
    }
  }
}

}  // namespace
}  // namespace vexo
