// The real vexo-answer program: cipher round trips, digests, written offers, what `check`
// reports for good and broken answers, and releases published into a folder a real
// vexo-server serves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "agent/crypto/answer_cipher.h"
#include "agent/crypto/base64.h"
#include "agent/crypto/md5.h"
#include "agent/crypto/signing.h"
#include "tests/support/program_runner.h"
#include "tools/release.h"
#include "tools/rollout_command.h"

namespace vexo::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

const std::string kTool = VEXO_ANSWER_PATH;
const std::string kServer = VEXO_SERVER_PATH;
const std::string kContent = VEXO_EXAMPLE_CONTENT;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

ProgramResult Tool(const std::vector<std::string>& arguments, const std::string& input = {}) {
  return RunProgram(kTool, arguments, input);
}

TEST(VexoAnswerCipher, EncipherThenDecipherGivesTheTextBack) {
  const std::string texts[] = {"",
                               "<",
                               "<respons",
                               "<response/>\r\n",
                               std::string(8000, 'x') + "tail",
                               ReadFile(kContent + "/start.xml"),
                               ReadFile(kContent + "/popup.xml")};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 20));
    ProgramResult enciphered = Tool({"encipher"}, text);
    ASSERT_EQ(enciphered.exitCode, 0) << enciphered.err;
    EXPECT_EQ(enciphered.out.size(), (text.size() + 7) / 8 * 8);
    ProgramResult deciphered = Tool({"decipher", "-", "-"}, enciphered.out);
    ASSERT_EQ(deciphered.exitCode, 0) << deciphered.err;
    EXPECT_EQ(deciphered.out, text);
  }
}

TEST(VexoAnswerCipher, KnownBlockAndFiles) {
  // The known answer of the agents' key: "<respons" enciphers to 71abc67a40e62c9b.
  EXPECT_EQ(Hex(Tool({"encipher"}, "<respons").out), "71abc67a40e62c9b");

  TempFolder folder;
  ProgramResult toFile = Tool({"encipher", kContent + "/popup.xml", folder.File("popup.bin")});
  ASSERT_EQ(toFile.exitCode, 0) << toFile.err;
  EXPECT_EQ(toFile.out, "");
  std::string enciphered = ReadFile(folder.File("popup.bin"));
  EXPECT_EQ(enciphered, EncipherAnswer(ReadFile(kContent + "/popup.xml")));
  EXPECT_EQ(Tool({"decipher", folder.File("popup.bin")}).out, ReadFile(kContent + "/popup.xml"));

  ProgramResult missing = Tool({"decipher", folder.File("missing.bin")});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_THAT(missing.err, HasSubstr("cannot read '" + folder.File("missing.bin") + "'"));
}

TEST(VexoAnswerCipher, ZeroBytesAreDroppedWithTheRestOfTheirBlock) {
  std::string text = std::string("abc\0defgHIJKLMNO", 16);
  ProgramResult enciphered = Tool({"encipher"}, text);
  EXPECT_THAT(enciphered.err, HasSubstr("zero bytes"));
  EXPECT_EQ(Tool({"decipher"}, enciphered.out).out, "abcHIJKLMNO");
}

TEST(VexoAnswerMd5, FileDigests) {
  TempFolder folder;
  struct Case {
    std::string content;
    const char* digest;  // RFC 1321 test suite
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.content);
    WriteFile(folder.File("f"), row.content);
    ProgramResult result = Tool({"md5", folder.File("f")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, std::string(row.digest) + "\n");
  }
  WriteFile(folder.File("big"), std::string(200000, 'q'));
  EXPECT_EQ(Tool({"md5", folder.File("big")}).out, Md5HexOf(std::string(200000, 'q')) + "\n");
  EXPECT_EQ(Tool({"md5", folder.File("none")}).exitCode, 1);
}

class VexoAnswerOffer : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(Installer(), std::string(1000, 'i')); }
  std::string Installer() const { return folder_.File("setup & co.exe"); }
  TempFolder folder_;
};

TEST_F(VexoAnswerOffer, WritesTheOfferInTheOrderAgentsReadIt) {
  ProgramResult result = Tool({"offer", "--installer", Installer(), "--version", "1.0.7.0", "--url",
                               "http://h/files?a=1&b=", "--rname", "setup.exe", "--param",
                               "/S \"<dir>\" 'x'", "--force"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            "<response>\n"
            "  <data>\n"
            "    <software_update>\n"
            "      <status>y</status>\n"
            "      <name>setup &amp; co.exe</name>\n"
            "      <rname>setup.exe</rname>\n"
            "      <force>y</force>\n"
            "      <param>/S &quot;&lt;dir&gt;&quot; &apos;x&apos;</param>\n"
            "      <version>1.0.7.0</version>\n"
            "      <url>http://h/files?a=1&amp;b=</url>\n"
            "      <md5>" +
                Md5HexOf(std::string(1000, 'i')) +
                "</md5>\n"
                "    </software_update>\n"
                "  </data>\n"
                "</response>\n");
}

TEST_F(VexoAnswerOffer, AgentsReadBackWhatWasWritten) {
  ProgramResult offer = Tool({"offer", "--installer", Installer(), "--version", "2.0", "--url",
                              "http://h/files/", "--param", "/D=\"C:\\Program Files\" &"});
  ASSERT_EQ(offer.exitCode, 0) << offer.err;
  ProgramResult check = Tool({"check", "-"}, offer.out);
  EXPECT_EQ(check.exitCode, 0) << check.out;
  EXPECT_THAT(check.out, HasSubstr("update offer: offered"));
  EXPECT_THAT(check.out, HasSubstr("downloadUrl     \"http://h/files/setup & co.exe\""));
  EXPECT_THAT(check.out, HasSubstr("installerPath   \"<data folder>/setup & co.exe\""));
  EXPECT_THAT(check.out, HasSubstr("installerParams \"/D=\"C:\\Program Files\" &\""));
  EXPECT_THAT(check.out, HasSubstr("expectedMd5     \"" + Md5HexOf(std::string(1000, 'i'))));
  EXPECT_THAT(check.out, HasSubstr("force           no"));
  EXPECT_THAT(check.out, HasSubstr("newer than 1.0.6.0"));
}

TEST_F(VexoAnswerOffer, RefusesOffersAgentsCannotUse) {
  setenv("LC_ALL", "C.UTF-8", 1);  // the tool reads names in the locale's character set
  WriteFile(folder_.File("tiny.exe"), std::string(256, 't'));
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    const char* message;
  };
  const Case cases[] = {
      {{"--version", "1.0.x", "--url", "http://h/"}, 2, "'1.0.x' is not a version agents accept"},
      {{"--version", "1.2.3.4.5", "--url", "http://h/"}, 2, "is not a version"},
      {{"--version", "1.1", "--url", "http://h/", "--rname", "../x.exe"},
       2,
       "--rname '../x.exe' must be a plain file name"},
      {{"--version", "1.1", "--url", "http://h/", "--rname", "c:x.exe"}, 2, "plain file name"},
      // Names agents, Windows or vexo-server would refuse downstream.
      {{"--version", "1.1", "--url", "http://h/", "--rname", std::string(10000, 'r')},
       2,
       "' is longer than the 128 bytes vexo-server serves in one name"},
      {{"--version", "1.1", "--url", "http://h/", "--name", std::string(129, 'n') + ".exe"},
       2,
       "--name 'nnnn"},
      {{"--version", "1.1", "--url", "http://h/", "--rname", "CON"}, 2, "is a device on Windows"},
      {{"--version", "1.1", "--url", "http://h/", "--rname", "nul.exe"}, 2, "is a device"},
      {{"--version", "1.1", "--url", "http://h/", "--rname", "setup.exe."}, 2, "ends in a dot"},
      {{"--version", "1.1", "--url", "http://h/", "--rname", "setup.exe "}, 2, "or a blank"},
      {{"--version", "1.1", "--url", "http://h/", "--rname", "setup?.exe"}, 2, "Windows does not"},
      {{"--version", "1.1", "--url", "http://h/", "--rname",
        "\xE2\x80\xAE"
        "exe.txt"},
       2,
       "--rname '\\xe2\\x80\\xaeexe.txt' holds a control or bidirectional formatting character"},
      {{"--version", "1.1", "--url", "http://h/", "--rname",
        "\xFF"
        "setup.exe"},
       2,
       "holds bytes that are not text in the locale's character set"},
      {{"--version", "1.1", "--url", "http://h/\x01"}, 2, "--url 'http://h/\\x01' holds a control"},
      {{"--version", "1.1", "--url", "http://h/", "--param", "/S \xFF"},
       2,
       "--param '/S \\xff' holds bytes that are not text"},
      {{"--url", "http://h/"}, 2, "--version is required"},
      {{"--version", "1.1"}, 2, "--url is required"},
      {{"--version", "1.1", "--url", "http://h/", "--colour"}, 2, "unknown option '--colour'"},
      {{"--version", "1.1", "--url", "http://h"}, 0, "agents download 'http://hsetup & co.exe'"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(::testing::PrintToString(row.arguments));
    std::vector<std::string> arguments = {"offer", "--installer", Installer()};
    arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
    ProgramResult result = Tool(arguments);
    EXPECT_EQ(result.exitCode, row.exitCode);
    EXPECT_THAT(result.err, HasSubstr(row.message));
  }
  ProgramResult tiny = Tool({"offer", "--installer", folder_.File("tiny.exe"), "--version", "1.1",
                             "--url", "http://h/", "--output", folder_.File("offer.xml")});
  EXPECT_EQ(tiny.exitCode, 0);
  EXPECT_THAT(tiny.err, HasSubstr("larger than 256 bytes"));
  EXPECT_THAT(ReadFile(folder_.File("offer.xml")), HasSubstr("<name>tiny.exe</name>"));
  EXPECT_EQ(Tool({"offer", "--installer", folder_.File("none.exe"), "--version", "1.1", "--url",
                  "http://h/"})
                .exitCode,
            1);
}

class VexoAnswerSigning : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(Installer(), installer_);
    ProgramResult keygen = Tool({"keygen", "--output", Key()});
    ASSERT_EQ(keygen.exitCode, 0) << keygen.err;
    publicKey_ = keygen.out.substr(0, keygen.out.find('\n'));
  }
  std::string Installer() const { return folder_.File("setup.exe"); }
  std::string Key() const { return folder_.File("publisher.key"); }
  // The statement agents check, written out here so that the tool's own is tested against it.
  std::string Statement(const std::string& version, const std::string& content) const {
    Sha256 digest;
    digest.Update(content.data(), content.size());
    return "vexo-update-1\nversion=" + version + "\nsize=" + std::to_string(content.size()) +
           "\nsha256=" + HexOf(digest.Final()) + "\n";
  }
  ProgramResult Offer(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments = {"offer",     "--installer", Installer(),
                                          "--version", "1.0.7.0",     "--url",
                                          "http://h/", "--key",       Key()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return Tool(arguments);
  }

  TempFolder folder_;
  const std::string installer_ = std::string(1000, 'i');
  std::string publicKey_;
};

TEST_F(VexoAnswerSigning, KeygenWritesAPrivateSeedOnceAndPrintsItsPublicKey) {
  struct stat status {};
  ASSERT_EQ(stat(Key().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  std::string line = ReadFile(Key());
  ASSERT_TRUE(line.ends_with('\n'));
  std::optional<Ed25519Seed> seed = DecodeBase64<32>(line.substr(0, line.size() - 1));
  ASSERT_TRUE(seed.has_value()) << line;
  EXPECT_EQ(publicKey_, EncodeBase64(Ed25519PublicKeyOf(*seed)));

  ProgramResult again = Tool({"keygen", "--output", Key()});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_EQ(again.err,
            "vexo-answer: key file '" + Key() + "': exists; a key file is never overwritten\n");
  EXPECT_EQ(ReadFile(Key()), line);
}

TEST_F(VexoAnswerSigning, SignAndOfferCarryASignatureOfTheFixedStatement) {
  ProgramResult sign = Tool({"sign", "--key", Key(), "--version", "1.0.7.0", Installer()});
  ASSERT_EQ(sign.exitCode, 0) << sign.err;
  ASSERT_TRUE(sign.out.ends_with('\n'));
  std::string signature = sign.out.substr(0, sign.out.size() - 1);
  auto bytes = DecodeBase64<64>(signature);
  ASSERT_TRUE(bytes.has_value()) << signature;
  EXPECT_TRUE(
      Ed25519Verify(*DecodeBase64<32>(publicKey_), Statement("1.0.7.0", installer_), *bytes));

  ProgramResult offer = Offer();
  ASSERT_EQ(offer.exitCode, 0) << offer.err;
  EXPECT_THAT(offer.out, HasSubstr("<md5>" + Md5HexOf(installer_) + "</md5>\n      <signature>" +
                                   signature + "</signature>\n    </software_update>"));
}

TEST_F(VexoAnswerSigning, CheckSaysWhetherTheSignatureVouchesForTheInstaller) {
  ProgramResult other = Tool({"keygen", "--output", folder_.File("other.key")});
  std::string otherKey = other.out.substr(0, other.out.find('\n'));
  WriteFile(folder_.File("offer.xml"), Offer().out);
  WriteFile(folder_.File("changed.exe"), installer_ + "x");
  struct Case {
    std::string keys;
    std::string installer;
    int exitCode;
    std::string expected;
  };
  const Case cases[] = {
      {otherKey + "," + publicKey_, Installer(), 0, "signature       verifies under key 2"},
      {otherKey, Installer(), 1, "problem: the signature does not verify"},
      {publicKey_, folder_.File("changed.exe"), 1, "problem: the installer's MD5 is"},
      {"", Installer(), 0, "installer       MD5 matches"},
      {"AAAA", Installer(), 2, "--keys: 'AAAA' is not a public key"},
      // y = 0, the identity and the point of order two: no keys, and no abort.
      {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", Installer(), 2, "is not a public key"},
      {"AQAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", Installer(), 2, "is not a public key"},
      {publicKey_ + ",7P///////////////////////////////////////38=", Installer(), 2,
       "--keys: '7P///////////////////////////////////////38=' is not a public key"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.keys + " " + row.installer);
    std::vector<std::string> arguments = {"check", "--installer", row.installer};
    if (!row.keys.empty())
      arguments.insert(arguments.end(), {"--keys", row.keys});
    arguments.push_back(folder_.File("offer.xml"));
    ProgramResult result = Tool(arguments);
    EXPECT_EQ(result.exitCode, row.exitCode) << result.out;
    EXPECT_THAT(result.out + result.err, HasSubstr(row.expected));
  }
}

TEST_F(VexoAnswerSigning, UnusableKeyFilesAreRefusedInOneLine) {
  WriteFile(folder_.File("malformed.key"), "not a key\n");
  chmod(folder_.File("malformed.key").c_str(), 0600);
  WriteFile(folder_.File("open.key"), ReadFile(Key()));
  chmod(folder_.File("open.key").c_str(), 0644);
  const std::pair<std::string, std::string> cases[] = {
      {"missing.key", "No such file or directory"},
      {"malformed.key", "not a private key"},
      {"open.key", "open to others (mode 0644)"},
  };
  for (const auto& [name, message] : cases) {
    SCOPED_TRACE(name);
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"sign", "--key", folder_.File(name), "--version", "1.1",
                                   Installer()},
          std::vector<std::string>{"offer", "--installer", Installer(), "--version", "1.1", "--url",
                                   "http://h/", "--key", folder_.File(name)}}) {
      ProgramResult result = Tool(arguments);
      EXPECT_EQ(result.exitCode, 1);
      EXPECT_THAT(result.err, StartsWith("vexo-answer: key file '" + folder_.File(name) + "': "));
      EXPECT_THAT(result.err, HasSubstr(message));
      EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
      EXPECT_EQ(result.out, "");
    }
  }
}

TEST(VexoAnswerCheck, ExampleStartAnswer) {
  for (bool enciphered : {false, true}) {
    SCOPED_TRACE(enciphered ? "enciphered" : "plain");
    std::string plain = ReadFile(kContent + "/start.xml");
    ProgramResult result = Tool({"check", "-"}, enciphered ? EncipherAnswer(plain) : plain);
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_THAT(result.out, StartsWith(enciphered ? "answer: enciphered" : "answer: plain XML"));
    EXPECT_THAT(result.out,
                HasSubstr("start answer: accepted\nupdate offer: offered\n"
                          "  version         \"1.0.7.0\"\n"
                          "  downloadUrl     \"{{origin}}/files/vexo-setup-1.0.7.0.exe\"\n"
                          "  installerPath   \"<data folder>/vexo-setup.exe\"\n"
                          "  installerParams \"/S /source=update\"\n"));
    EXPECT_THAT(result.out, HasSubstr("shortcut rows: 2\n"));
    EXPECT_THAT(result.out, HasSubstr("name=\"Holidays & Festivals\""));
    EXPECT_THAT(
        result.out,
        HasSubstr("webaddr=\"https://calendar.vexo.example/holidays?year=2025&region=all\""));
    EXPECT_THAT(result.out, HasSubstr("mini pop-up: open, 300x180, fistdisplay 120\n"));
    EXPECT_THAT(result.out, HasSubstr("title           \"What's new in 1.0.7\""));
    EXPECT_THAT(result.out, Not(HasSubstr("problem")));
  }
  ProgramResult older = Tool({"check", "--agent-version", "1.0.7.0", kContent + "/start.xml"});
  EXPECT_THAT(older.out, HasSubstr("not newer than 1.0.7.0: agents of that version ignore it"));
}

TEST(VexoAnswerCheck, ExamplePopupAnswerWithTodaysCounts) {
  const std::string holidays = "https://calendar.vexo.example/popup/holidays.html";
  const std::string tips = "https://calendar.vexo.example/popup/tips.html?id=7&lang=en";
  TempFolder data;
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char day[16];
  std::strftime(day, sizeof day, "%Y%m%d", &local);
  WriteFile(data.File(std::string("Msg/") + day + ".ini"), "[Msg]\n" + Md5HexOf(tips) + "=7\n");

  ProgramResult result = Tool({"check", "--data-folder", data.path(), kContent + "/popup.xml"});
  EXPECT_EQ(result.exitCode, 0) << result.out;
  EXPECT_THAT(result.out, HasSubstr("pop-up answer: accepted\n"
                                    "schedule: update_tm_stamp 1733616000, firstdisplay 30 s, "
                                    "interval 1800, duration 120\n"));
  EXPECT_THAT(result.out, HasSubstr(std::string("per-day file    \"<data folder>/Msg/") + day));
  EXPECT_THAT(result.out, HasSubstr("items: 2\n  1. key " + Md5HexOf(holidays) +
                                    ", 320x240, remaining 3, url \"" + holidays + "\"\n"));
  EXPECT_THAT(result.out, HasSubstr("  2. key " + Md5HexOf(tips) + ", 320x240, remaining 7"));
}

TEST(VexoAnswerCheck, BrokenAnswers) {
  struct Case {
    std::vector<std::string> options;
    std::string answer;
    const char* expected;
  };
  const Case cases[] = {
      {{}, "", "start answer: rejected (no top-level response element)"},
      {{}, "not xml at all", "start answer: rejected"},
      {{}, "<answer><data/></answer>", "start answer: rejected"},
      {{},
       "<response><data><software_update><status>y</status><rname>..</rname><version>9</version>"
       "<md5>00</md5></software_update></data></response>",
       "problem: rname \"..\" is not a plain file name"},
      {{},
       "<response><data><software_update><status>y</status><name>a</name><rname>a</rname>"
       "<version>1.0.6.0</version></software_update></data></response>",
       "not newer than 1.0.6.0"},
      {{},
       "<response><data><software_update><status>y</status><version>v2</version>"
       "</software_update></data></response>",
       "problem: the offered version is not a version text"},
      {{},
       "<response><errcode>-1</errcode><data/></response>",
       "pop-up answer: rejected: the agent closes"},
      {{},
       "<response><data><rightdown_popup firstdisplay=\"5\"/></data></response>",
       "pop-up answer: rejected"},  // no stamp: equal to the initial 0
      {{"--popup"}, "<response><data/></response>", "pop-up answer: accepted"},
      {{},
       "<response><data><software_update><status>y</status>",
       "problem: the XML is not well-formed"},
      {{"--enciphered"}, "<response/>", "answer: enciphered, 11 bytes\n"},
      {{"--plain"}, EncipherAnswer("<response/>"), "start answer: rejected"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.answer);
    std::vector<std::string> arguments = {"check"};
    arguments.insert(arguments.end(), row.options.begin(), row.options.end());
    arguments.push_back("-");
    ProgramResult result = Tool(arguments, row.answer);
    EXPECT_THAT(result.out, HasSubstr(row.expected));
    bool acceptable = std::string(row.expected).find("accepted") != std::string::npos;
    EXPECT_EQ(result.exitCode, acceptable ? 0 : 1) << result.out;
  }
}

TEST(VexoAnswerCheck, AnswersLongerThanAgentsRead) {
  std::string longAnswer = "<response><data>" + std::string(110000, ' ') + "</data></response>";
  ProgramResult plain = Tool({"check", "-"}, longAnswer);
  EXPECT_EQ(plain.exitCode, 1);
  EXPECT_THAT(plain.out, HasSubstr("exceeds the 102400 bytes agents read"));
  ProgramResult enciphered = Tool({"check", "-"}, EncipherAnswer(longAnswer));
  EXPECT_EQ(enciphered.exitCode, 1);
  EXPECT_THAT(enciphered.out, HasSubstr("longer than the 102400 bytes agents read"));
}

// Whatever a name points at, the tool neither waits on it nor reads it without end: folders,
// FIFOs and devices are named as such, and input is read up to the 1 MiB vexo-server serves.
TEST(VexoAnswerInputs, RefusedUnlessAReadableRegularFileOfBoundedSize) {
  TempFolder folder;
  std::string fifo = folder.File("fifo");
  std::string here = folder.path().string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    std::vector<std::string> arguments;
    std::string input;
    std::string message;
  };
  const Case cases[] = {
      {{"check", here}, "", "cannot read '" + here + "': a folder, not a regular"},
      {{"check", fifo}, "", "cannot read '" + fifo + "': a FIFO, not a regular file"},
      {{"decipher", "/dev/zero"}, "", "cannot read '/dev/zero': a device, not a regular file"},
      {{"encipher"}, std::string((1 << 20) + 1, 'x'), "cannot read '-': larger than 1 MiB"},
      {{"md5", fifo}, "", "cannot read '" + fifo + "': a FIFO, not a regular file"},
      {{"sign", "--key", fifo, "--version", "1.1", fifo}, "", "a FIFO, not a regular file"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(::testing::PrintToString(row.arguments));
    ProgramResult result = Tool(row.arguments, row.input);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.err, StartsWith("vexo-answer: "));
    EXPECT_THAT(result.err, HasSubstr(row.message));
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1);
    EXPECT_EQ(result.out, "");
  }
}

TEST(VexoAnswerUsage, ErrorsPrintUsageAndExitTwo) {
  const std::vector<std::string> cases[] = {
      {},
      {"frobnicate"},
      {"md5"},
      {"md5", "a", "b"},
      {"encipher", "a", "b", "c"},
      {"decipher", "--fast"},
      {"check"},
      {"check", "--plain", "--enciphered", "-"},
      {"check", "--start", "--popup", "-"},
      {"check", "--data-folder"},
      {"offer"},
      {"keygen"},
      {"sign", "--key", "k", "x.exe"},
      {"sign", "--key", "k", "--version", "1.x", "x.exe"},
      {"check", "--keys", "k", "-"},
      {"release"},
      {"release", "--content", "c", "--installer", "x", "--version", "1.1", "--url", "u",
       "--skip-ramp"},
      {"release", "--content", "c", "--installer", "x", "--version", "1.1", "--url", "u",
       "--rollout", "50% 10%@1d"},
      {"rollout", "--content", "c"},
      {"rollout", "--content", "c", "set", "101"},
      {"rollout", "--content", "c", "set"},
      {"rollout", "--content", "c", "halt", "now"},
      {"rollout", "--content", "c", "wobble"},
      {"rollout", "--content", "c", "--start", "2024-12-08T00:00:00Z", "set", "5"},
      {"rollout", "--content", "c", "--start", "tomorrow", "schedule", "5%"},
  };
  for (const std::vector<std::string>& arguments : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    ProgramResult result = Tool(arguments);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_THAT(result.err, StartsWith("vexo-answer: "));
    EXPECT_THAT(result.err, HasSubstr("\nusage: vexo-answer encipher"));
    EXPECT_EQ(result.out, "");
  }
  ProgramResult help = Tool({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_THAT(help.out, StartsWith("usage: vexo-answer"));
}

std::string Decipher(const std::string& body) {
  return DecipherAnswer(reinterpret_cast<const unsigned char*>(body.data()),
                        static_cast<uint32_t>(body.size()));
}

std::string ElementText(const std::string& xml, const std::string& name) {
  size_t start = xml.find("<" + name + ">");
  size_t end = xml.find("</" + name + ">");
  return start == std::string::npos || end == std::string::npos
             ? std::string()
             : xml.substr(start + name.size() + 2, end - start - name.size() - 2);
}

// Hidden files left in the content folder: a release's unfinished writes.
std::vector<std::string> HiddenFiles(const std::string& root) {
  std::vector<std::string> hidden;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.path().filename().string().starts_with(".")) {
      hidden.push_back(entry.path().string());
    }
  }
  return hidden;
}

// A copy of the example content served by a real vexo-server; release 1.0.7.0 offered to half
// the agents.
class VexoAnswerRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy(kContent, Content(), std::filesystem::copy_options::recursive);
    WriteFile(Content() + "/start.rollout",
              "[1.0.7.0]\nsalt = 00112233445566778899aabbccddeeff\nschedule = 50%\n");
    WriteFile(Installer(), std::string(3000, 'n'));
    server_.emplace(kServer, std::vector<std::string>{"--root", Content(), "--listen",
                                                      "127.0.0.1:0", "--admin-listen",
                                                      "127.0.0.1:0", "--db", folder_.File("c.db")});
    std::string first = server_->FirstLine();
    ASSERT_TRUE(first.starts_with("listening on ")) << server_->Errors();
    port_ = static_cast<uint16_t>(std::stoi(first.substr(first.rfind(':') + 1)));
  }
  std::string Content() const { return folder_.File("content"); }
  std::string Installer() const { return folder_.File("vexo-setup-1.0.8.0.exe"); }
  // The deciphered start answer an agent at `source` gets.
  std::string AnswerFor(const std::string& source) {
    return Decipher(
        HttpGet(port_, "/client/getData.php?q=start&ver=1.0.6.0&t=setup.exe", {}, source).body);
  }
  // What agents at a few addresses get now, one after the other.
  std::vector<std::string> Answers() {
    std::vector<std::string> answers;
    for (int host = 1; host <= 16; ++host) {
      answers.push_back(AnswerFor("127.0.5." + std::to_string(host)));
    }
    return answers;
  }

  TempFolder folder_;
  std::optional<BackgroundProgram> server_;
  uint16_t port_ = 0;
};

// An agent querying all along gets the whole old release or the whole new one: never an offer
// whose file is missing or whose digest differs from the file served.
TEST_F(VexoAnswerRelease, EveryAnswerIsWhollyOldOrWhollyNewWhileAServerServes) {
  ASSERT_EQ(ElementText(AnswerFor("127.0.6.1"), "version"), "1.0.7.0")
      << "the agent is in the old release's half";
  ASSERT_EQ(Tool({"keygen", "--output", folder_.File("release.key")}).exitCode, 0);
  std::atomic<bool> stop{false};
  std::set<std::string> versions;
  std::vector<std::string> faults;
  std::thread agent([&] {
    while (!stop) {
      std::string answer = AnswerFor("127.0.6.1");
      std::string version = ElementText(answer, "version");
      versions.insert(version);
      std::string url = ElementText(answer, "url") + ElementText(answer, "name");
      std::string file = HttpGet(port_, url.substr(url.find("/files/"))).body;
      if (version.empty() || Md5HexOf(file) != ElementText(answer, "md5")) {
        faults.push_back(answer);
      }
    }
  });
  while (versions.empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ProgramResult release =
      Tool({"release", "--content", Content(), "--installer", Installer(), "--version", "1.0.8.0",
            "--url", "{{origin}}/files/", "--rname", "vexo-setup.exe", "--rollout", "100%", "--key",
            folder_.File("release.key")});
  size_t seen = versions.size();
  while (versions.size() == seen && versions.count("1.0.8.0") == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop = true;
  agent.join();
  ASSERT_EQ(release.exitCode, 0) << release.err;
  EXPECT_EQ(versions, (std::set<std::string>{"1.0.7.0", "1.0.8.0"}));
  EXPECT_THAT(faults, ::testing::IsEmpty());
  EXPECT_THAT(HiddenFiles(Content()), ::testing::IsEmpty());
  std::string answer = AnswerFor("127.0.6.2");
  EXPECT_THAT(answer, HasSubstr("<software_createlnk open=\"1\">")) << "the rest of it stays";
  EXPECT_EQ(ElementText(answer, "rname"), "vexo-setup.exe");
  EXPECT_EQ(ElementText(answer, "signature").size(), 88u) << "64 bytes in base64";
}

// Publishing the offered version again (a new signature, URL or file) goes on with its rollout:
// the same cohort, clock and halt; a new schedule may only widen the share.
TEST_F(VexoAnswerRelease, PublishingTheOfferedVersionAgainKeepsItsRollout) {
  auto release = [&](const std::vector<std::string>& more) {
    std::vector<std::string> arguments{"release",     "--content", Content(),
                                       "--installer", Installer(), "--version",
                                       "1.0.7.0",     "--url",     "{{origin}}/files/"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return Tool(arguments);
  };
  ASSERT_EQ(Tool({"rollout", "--content", Content(), "halt"}).exitCode, 0);
  ProgramResult again = release({});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_THAT(again.out, HasSubstr("schedule 50%, its cohort kept; still HALTED"));
  EXPECT_THAT(ReadFile(Content() + "/start.rollout"),
              HasSubstr("salt = 00112233445566778899aabbccddeeff"));
  ASSERT_EQ(Tool({"rollout", "--content", Content(), "resume"}).exitCode, 0);
  EXPECT_THAT(release({"--rollout", "10%"}).err, HasSubstr("shares only grow"));
  EXPECT_EQ(release({"--rollout", "80%"}).exitCode, 0);
  EXPECT_THAT(ReadFile(Content() + "/start.rollout"),
              HasSubstr("salt = 00112233445566778899aabbccddeeff"));
}

// Each command acts on the policy as the one before left it.
TEST_F(VexoAnswerRelease, RolloutCommandsShowAndChangeThePolicy) {
  std::filesystem::remove(Content() + "/start.rollout");
  struct Case {
    std::vector<std::string> command;
    int exitCode;
    const char* output;
    const char* policyBefore = nullptr;  // written by hand first
  };
  const Case cases[] = {
      {{"status"}, 0, "start.xml offers 1.0.7.0\nno rollout policy: every agent gets the offer"},
      {{"set", "10"}, 0, "release 1.0.7.0: 10% of agents now"},
      {{"set", "5%"}, 1, "shares only grow: release 1.0.7.0 is at 10% now"},
      {{"schedule", "10%", "50%@1d", "100%@2d"}, 0, "schedule: 10% 50%@1d 100%@2d"},
      {{"halt"}, 0, "release 1.0.7.0: HALTED since"},
      {{"halt"}, 0, "already halted"},
      {{"set", "20"}, 0, "still halted"},
      {{"resume"}, 0, "release 1.0.7.0: 20% of agents now"},
      {{"resume"}, 0, "not halted"},
      {{"status"}, 0, "is malformed (line 1: ", "share = 10\n"},
      {{"set", "20"}, 1, "mend it by hand, or halt the rollout"},
      {{"halt"}, 0, "HALTED"},
      {{"resume"}, 0, "release 1.0.7.0: 0% of agents now"},
      {{"--app", "vexo-calendar-lite.exe", "halt"},
       1,
       "apps/vexo-calendar-lite.exe/start.xml offers no update"},
      {{"--app", "nothing.exe", "halt"}, 1, "apps/nothing.exe/start.xml does not exist"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(::testing::PrintToString(row.command));
    if (row.policyBefore) {
      WriteFile(Content() + "/start.rollout", row.policyBefore);
    }
    std::vector<std::string> arguments{"rollout", "--content", Content()};
    arguments.insert(arguments.end(), row.command.begin(), row.command.end());
    ProgramResult result = Tool(arguments);
    EXPECT_EQ(result.exitCode, row.exitCode) << result.err;
    EXPECT_THAT(result.out + result.err, HasSubstr(row.output));
  }
}

// A halt stops the schedule's clock: on resume it goes on from where it stood, counting none of
// the halted time, nor the time before a schedule set while halted.
TEST_F(VexoAnswerRelease, ResumedSchedulesSkipTheHaltedTime) {
  constexpr int64_t kDay = 86400;
  const int64_t start = 1733616000;
  auto change = [&](tools::RolloutAction action, int64_t at,
                    std::vector<server::RolloutStep> steps = {}) {
    tools::RolloutChange request{Content(), "", action, std::move(steps), std::nullopt};
    return tools::ChangeRollout(request, tools::SystemContentFiles(), at);
  };
  using enum tools::RolloutAction;
  std::filesystem::remove(Content() + "/start.rollout");
  change(kSchedule, start, {{0, 1000}, {kDay, 5000}, {10 * kDay, 10000}});
  change(kHalt, start + kDay / 2);
  EXPECT_THAT(change(kResume, start + 3 * kDay), HasSubstr(": 10% of agents now"));
  EXPECT_THAT(change(kStatus, start + 3 * kDay + kDay / 2), HasSubstr(": 50% of agents now"));
  change(kHalt, start + 3 * kDay + kDay / 2);
  change(kSet, start + 4 * kDay + kDay / 2, {{0, 7000}});
  EXPECT_THAT(change(kResume, start + 6 * kDay), HasSubstr(": 70% of agents now"));
}

// The file operations of a release, of which the `failAt`-th fails.
class FailingFiles : public tools::ContentFiles {
 public:
  explicit FailingFiles(int failAt) : failAt_(failAt) {}
  std::string WriteTemporary(const std::string& folder, std::string_view content) override {
    Step();
    return real_.WriteTemporary(folder, content);
  }
  std::string CopyTemporary(const std::string& folder, const std::string& source,
                            std::string& md5) override {
    Step();
    return real_.CopyTemporary(folder, source, md5);
  }
  void Rename(const std::string& from, const std::string& to) override {
    Step();
    real_.Rename(from, to);
  }
  void CreateFolder(const std::string& path) override {
    Step();
    real_.CreateFolder(path);
  }
  void Remove(const std::string& path) noexcept override { real_.Remove(path); }

 private:
  void Step() {
    if (++steps_ == failAt_) {
      throw std::runtime_error("injected failure");
    }
  }
  tools::ContentFiles& real_ = tools::SystemContentFiles();
  int failAt_;
  int steps_ = 0;
};

TEST_F(VexoAnswerRelease, AFailureAtAnyStepLeavesTheOldReleaseServedAsItWas) {
  tools::ReleasePlan plan;
  plan.content = Content();
  plan.installer = Installer();
  plan.offer = {"vexo-setup-1.0.8.0.exe",
                "vexo-setup.exe",
                false,
                "",
                "1.0.8.0",
                "{{origin}}/files/",
                Md5HexOf(ReadFile(Installer())),
                ""};
  plan.installed = {plan.offer.md5, *ReadInstallerFacts(Installer())};
  const std::vector<std::string> before = Answers();
  ASSERT_NE(before.front(), before.back());
  int failAt = 1;
  for (;; ++failAt) {
    SCOPED_TRACE(failAt);
    FailingFiles files(failAt);
    try {
      tools::PublishRelease(plan, files, std::time(nullptr));
    } catch (const std::runtime_error& error) {
      ASSERT_STREQ(error.what(), "injected failure");
      EXPECT_EQ(Answers(), before);
      EXPECT_THAT(HiddenFiles(Content()), ::testing::IsEmpty());
      continue;
    }
    break;
  }
  EXPECT_GE(failAt, 5) << "installer, policy and answer: each written, then renamed";
  for (const std::string& answer : Answers()) {
    EXPECT_EQ(ElementText(answer, "version"), "1.0.8.0");
  }
}

}  // namespace
}  // namespace vexo::testing
