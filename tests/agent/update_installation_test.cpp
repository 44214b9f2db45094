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
  offer.expectedMd5 = Wide(Upper(Md5HexOf(installer)));
  Run();
  EXPECT_EQ(Downloads(), 0u);
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
    testing::WriteFile(InstallerFile(), "previous file");
    server.Route("/files/setup.exe", c.reply);
    Run();
    std::string expected =
        std::string(c.name) == "error page" ? std::string(2000, 'e') : "previous file";
    EXPECT_EQ(testing::ReadFile(InstallerFile()), expected);
    EXPECT_EQ(DataFiles(), std::vector<std::string>{"vexo-setup.exe"});
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

}  // namespace
}  // namespace vexo
