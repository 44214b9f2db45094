// vexo-answer: the publisher's tool for answers: encipher, decipher, digest, write an offer,
// and check an answer as an agent reads it.
#include <stdlib.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/answer_rules.h"
#include "agent/answer_text.h"
#include "agent/crypto/answer_cipher.h"
#include "agent/crypto/md5.h"
#include "agent/update_signature.h"
#include "cli/command_line.h"
#include "server/common/small_file.h"
#include "server/common/utc_day.h"
#include "tools/answer_check.h"
#include "tools/key_file.h"
#include "tools/offer_names.h"
#include "tools/release.h"
#include "tools/rollout_command.h"
#include "tools/start_answer_writer.h"

namespace vexo::tools {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: vexo-answer encipher [IN [OUT]]\n"
    "       vexo-answer decipher [IN [OUT]]\n"
    "       vexo-answer md5 FILE\n"
    "       vexo-answer offer --installer FILE --version V --url URL [--name NAME]\n"
    "                         [--rname NAME] [--param TEXT] [--force] [--key KEYFILE]\n"
    "                         [--output FILE]\n"
    "       vexo-answer check [--plain | --enciphered] [--start | --popup]\n"
    "                         [--agent-version V] [--data-folder DIR]\n"
    "                         [--installer FILE [--keys KEY,...]] FILE\n"
    "       vexo-answer keygen --output KEYFILE\n"
    "       vexo-answer sign --key KEYFILE --version V INSTALLER\n"
    "       vexo-answer release --content DIR --installer FILE --version V --url URL\n"
    "                           [--name NAME] [--rname NAME] [--param TEXT]\n"
    "                           [--force [--skip-ramp]] [--key KEYFILE]\n"
    "                           [--rollout SCHEDULE] [--app NAME]\n"
    "       vexo-answer rollout --content DIR [--app NAME]\n"
    "                           status | halt | resume | set PERCENT\n"
    "                           | schedule [--start TIME] STEP...\n"
    "       vexo-answer --help | --version\n"
    "\n"
    "IN, OUT and FILE may be '-' for the standard streams (the default for IN and OUT).\n"
    "IN and FILE are read up to 1 MiB, the most vexo-server serves, and key files up to 128\n"
    "bytes; a folder, FIFO or device named instead of a file is refused.\n"
    "  encipher  enciphers a plain answer as the server sends it\n"
    "  decipher  deciphers an answer as agents do (zero bytes are dropped)\n"
    "  md5       the MD5 digest of a file, as agents check installers\n"
    "  offer     writes a start answer offering the installer; --url is the folder URL that\n"
    "            agents put the name after (usually ending in '/'); the digest is computed;\n"
    "            with --key the offer carries the installer's signature\n"
    "  check     prints what an agent takes from a start or pop-up answer, plain or\n"
    "            enciphered (guessed unless told), with the agent's own parsers; exit status 1\n"
    "            when the agent would reject it or it has a fault. --agent-version is the\n"
    "            version offers are compared with (default " VEXO_VERSION
    "); pop-up counts are read\n"
    "            from the per-day file under --data-folder (default: a new empty folder).\n"
    "            --installer checks the offer's MD5 against that file, and --keys (public\n"
    "            keys as pinned in VEXO_UPDATE_KEYS) whether its signature verifies for it\n"
    "  keygen    writes a new private signing key to KEYFILE (mode 0600, never overwritten)\n"
    "            and prints its public key, the value to pin in VEXO_UPDATE_KEYS\n"
    "  sign      prints the signature of INSTALLER offered as version V, for the offer's\n"
    "            signature element; agents built with VEXO_UPDATE_KEYS launch an installer\n"
    "            only when a pinned key verifies it\n"
    "  release   publishes an installer into the content folder a server serves: copies it\n"
    "            to files/NAME, puts the offer (signed with --key) in start.xml in place of\n"
    "            the old one (apps/NAME/start.xml with --app), and the release's rollout in\n"
    "            start.rollout beside it: --rollout SCHEDULE (default 100%, every agent at\n"
    "            once; the version start.xml offers already keeps its rollout and cohort,\n"
    "            and a new schedule may only widen it); --skip-ramp lets a forced offer skip\n"
    "            it. The new answer is checked as agents read it before anything is\n"
    "            replaced; the installer lands before the offer naming it, each file by\n"
    "            rename, and a failure leaves the previous release served as it was\n"
    "  rollout   shows (status) and changes the rollout of the release start.xml offers:\n"
    "            halt stops the offer at the server's next query, resume lets it out again\n"
    "            (the halted time does not count), set PERCENT gives a fixed share from now,\n"
    "            schedule STEP... a share growing from --start (default now; a time such as\n"
    "            2024-12-08T18:00:00Z). A STEP is PERCENT[@OFFSET], such as 5%@1d: that share\n"
    "            of agents from OFFSET (m, h or d) after the start. Shares only grow: the\n"
    "            agents in stay in, and each release draws a new cohort of agents\n";

class UsageError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};
class Failure : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Answers and texts to encipher are read up to the most vexo-server serves.
constexpr size_t kLongestInput = 1 << 20;

std::string ReadInput(const std::string& name) {
  std::string fault;
  std::optional<std::string> content = name == "-"
                                           ? server::ReadUpTo(STDIN_FILENO, kLongestInput, fault)
                                           : server::ReadSmallFile(name, kLongestInput, fault);
  if (!content) {
    throw Failure("cannot read '" + name + "': " + fault);
  }
  return *content;
}

void WriteOutput(const std::string& name, const std::string& content) {
  if (name == "-") {
    std::cout.write(content.data(), static_cast<std::streamsize>(content.size()));
    std::cout.flush();
    if (!std::cout) {
      throw Failure("cannot write the standard output");
    }
    return;
  }
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) {
    throw Failure("cannot write '" + name + "'");
  }
}

std::string FileMd5(const std::string& path) {
  std::error_code error;
  std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error || !std::filesystem::is_regular_file(status)) {
    throw Failure("cannot read '" + path + "': " +
                  (error ? error.message()
                         : server::NotRegularFileFault(path).value_or("not a regular file")));
  }
  std::optional<std::string> digest = Md5HexOfFile(std::filesystem::path(path));
  if (!digest) {
    throw Failure("cannot read '" + path + "'");
  }
  return *digest;
}

// An option of a command: its name and the placeholder of its value (nullptr: a flag).
struct CommandOption {
  const char* name;
  const char* value;
};

// A command's options, read by its table, and its other arguments ("-" included).
class Arguments {
 public:
  Arguments(const std::vector<std::string>& list, std::span<const CommandOption> table) {
    ReadCommandLine<CommandOption> read = ReadOptions(table, list);
    for (const CommandLineWord<CommandOption>& word : read.words) {
      if (word.option != nullptr) {
        values_[word.name] = word.value;
      } else if (word.text.starts_with("--")) {
        throw UsageError("unknown option '" + word.text + "'");
      } else {
        positional_.push_back(word.text);
      }
    }
    if (read.fault) {
      throw UsageError(*read.fault);
    }
  }
  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  std::string Value(const std::string& name, std::string fallback = {}) const {
    auto found = values_.find(name);
    return found == values_.end() ? fallback : found->second;
  }
  std::string Required(const std::string& name) const {
    if (!Has(name) || Value(name).empty()) {
      throw UsageError(name + " is required");
    }
    return Value(name);
  }
  const std::vector<std::string>& positional() const { return positional_; }
  void ExpectPositional(size_t least, size_t most) const {
    if (positional_.size() < least || positional_.size() > most) {
      throw UsageError("wrong number of arguments");
    }
  }

 private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
};

// The options of each command, as its usage lines name them.
constexpr CommandOption kOfferOptions[] = {
    {"--installer", "FILE"}, {"--version", "V"},   {"--url", "URL"},
    {"--name", "NAME"},      {"--rname", "NAME"},  {"--param", "TEXT"},
    {"--force", nullptr},    {"--key", "KEYFILE"}, {"--output", "FILE"},
};
constexpr CommandOption kCheckOptions[] = {
    {"--plain", nullptr},    {"--enciphered", nullptr}, {"--start", nullptr},
    {"--popup", nullptr},    {"--agent-version", "V"},  {"--data-folder", "DIR"},
    {"--installer", "FILE"}, {"--keys", "KEY,..."},
};
constexpr CommandOption kReleaseOptions[] = {
    {"--content", "DIR"}, {"--installer", "FILE"},   {"--version", "V"},
    {"--url", "URL"},     {"--name", "NAME"},        {"--rname", "NAME"},
    {"--param", "TEXT"},  {"--force", nullptr},      {"--skip-ramp", nullptr},
    {"--key", "KEYFILE"}, {"--rollout", "SCHEDULE"}, {"--app", "NAME"},
};
constexpr CommandOption kRolloutOptions[] = {
    {"--content", "DIR"}, {"--app", "NAME"}, {"--start", "TIME"}};
constexpr CommandOption kKeygenOptions[] = {{"--output", "KEYFILE"}};
constexpr CommandOption kSignOptions[] = {{"--key", "KEYFILE"}, {"--version", "V"}};

int Transform(const std::vector<std::string>& list, bool encipher) {
  Arguments arguments(list, {});
  arguments.ExpectPositional(0, 2);
  const std::vector<std::string>& names = arguments.positional();
  std::string input = ReadInput(names.size() > 0 ? names[0] : "-");
  if (encipher && input.find('\0') != std::string::npos) {
    std::cerr << "vexo-answer: warning: the text holds zero bytes, which agents drop with the "
                 "rest of their 8-byte block\n";
  }
  std::string output = encipher
                           ? EncipherAnswer(input)
                           : DecipherAnswer(reinterpret_cast<const unsigned char*>(input.data()),
                                            static_cast<uint32_t>(input.size()));
  WriteOutput(names.size() > 1 ? names[1] : "-", output);
  return 0;
}

int Md5(const std::vector<std::string>& list) {
  Arguments arguments(list, {});
  arguments.ExpectPositional(1, 1);
  std::cout << FileMd5(arguments.positional()[0]) << "\n";
  return 0;
}

void RequireAgentVersion(const std::string& version) {
  if (CompareVersions(WidenAnsi(version), u"0") == kFirstIsNotAVersion) {
    throw UsageError("'" + version +
                     "' is not a version agents accept (up to four numbers separated by dots)");
  }
}

InstallerFacts ReadInstaller(const std::string& path) {
  std::optional<InstallerFacts> facts;
  if (std::filesystem::is_regular_file(path)) {
    facts = ReadInstallerFacts(path);
  }
  if (!facts) {
    throw Failure("installer '" + path + "' is not a readable file");
  }
  return *facts;
}

// The signature agents check for `installer` offered as `version`: the version is the text
// agents read from the offer, in the locale's character set as the offer is written.
std::string Signature(const std::string& keyFile, const std::string& version,
                      const std::string& installer) {
  Ed25519Seed seed = ReadKeyFile(keyFile);
  std::string statement = SignedStatement(WidenAnsi(version), ReadInstaller(installer));
  return SignatureText(Ed25519Sign(seed, statement));
}

int Keygen(const std::vector<std::string>& list) {
  Arguments arguments(list, kKeygenOptions);
  arguments.ExpectPositional(0, 0);
  std::string output = arguments.Required("--output");
  Ed25519Seed seed = NewEd25519Seed();
  CreateKeyFile(output, seed);
  std::cout << PublicKeyText(Ed25519PublicKeyOf(seed)) << "\n";
  return 0;
}

int Sign(const std::vector<std::string>& list) {
  Arguments arguments(list, kSignOptions);
  arguments.ExpectPositional(1, 1);
  std::string key = arguments.Required("--key");
  std::string version = arguments.Required("--version");
  RequireAgentVersion(version);
  std::cout << Signature(key, version, arguments.positional()[0]) << "\n";
  return 0;
}

// Public keys as VEXO_UPDATE_KEYS lists them: base64, separated by commas.
PinnedKeys ParseKeyList(const std::string& list) {
  PinnedKeys keys;
  std::istringstream items(list);
  std::string item;
  while (std::getline(items, item, ',')) {
    std::optional<Ed25519PublicKey> key = ParsePublicKeyText(item);
    if (!key) {
      throw UsageError("--keys: '" + item +
                       "' is not a public key (44 characters of base64 that encode a point of "
                       "the curve not of small order)");
    }
    keys.push_back(*key);
  }
  if (keys.empty()) {
    throw UsageError("--keys needs at least one public key");
  }
  return keys;
}

// The offer the options of `offer` and `release` describe, with the installer's digest and,
// given --key, its signature.
OfferFields OfferOfArguments(const Arguments& arguments, const std::string& installer) {
  OfferFields offer;
  offer.version = arguments.Required("--version");
  offer.url = arguments.Required("--url");
  offer.name = arguments.Value("--name", std::filesystem::path(installer).filename().string());
  offer.rname = arguments.Value("--rname", offer.name);
  offer.param = arguments.Value("--param");
  offer.force = arguments.Has("--force");
  RequireAgentVersion(offer.version);
  for (const auto& [option, text] : {std::pair{"--url", offer.url}, {"--param", offer.param}}) {
    if (std::optional<std::string> fault = OfferTextFault(text)) {
      throw UsageError(std::string(option) + " " + QuotedName(text) + " " + *fault);
    }
  }
  if (std::optional<std::string> fault = DownloadNameFault(offer.name)) {
    throw UsageError("--name " + QuotedName(offer.name) + " " + *fault);
  }
  if (std::optional<std::string> fault = LocalNameFault(offer.rname)) {
    throw UsageError("--rname " + QuotedName(offer.rname) + " " + *fault);
  }
  if (!std::filesystem::is_regular_file(installer)) {
    throw Failure("installer '" + installer + "' is not a readable file");
  }
  offer.md5 = FileMd5(installer);
  if (arguments.Has("--key")) {
    offer.signature = Signature(arguments.Required("--key"), offer.version, installer);
  }
  if (std::filesystem::file_size(installer) <= kSmallestInstaller) {
    std::cerr << "vexo-answer: warning: agents download only installers larger than "
              << kSmallestInstaller << " bytes\n";
  }
  if (!offer.url.ends_with('/') && !offer.url.ends_with('=')) {
    std::cerr << "vexo-answer: warning: agents download '" << offer.url << offer.name
              << "' (the URL and the name are joined as they are)\n";
  }
  return offer;
}

int Offer(const std::vector<std::string>& list) {
  Arguments arguments(list, kOfferOptions);
  arguments.ExpectPositional(0, 0);
  std::string installer = arguments.Required("--installer");
  WriteOutput(arguments.Value("--output", "-"),
              WriteStartAnswer(OfferOfArguments(arguments, installer)));
  return 0;
}

std::vector<RolloutStep> ScheduleOf(const std::string& option, const std::string& text) {
  std::string error;
  std::optional<std::vector<RolloutStep>> steps = server::ParseSchedule(text, error);
  if (!steps) {
    throw UsageError(option + ": " + error);
  }
  return *steps;
}

int64_t Now() {
  return static_cast<int64_t>(std::time(nullptr));
}

int Release(const std::vector<std::string>& list) {
  Arguments arguments(list, kReleaseOptions);
  arguments.ExpectPositional(0, 0);
  ReleasePlan plan;
  plan.content = arguments.Required("--content");
  plan.application = arguments.Value("--app");
  plan.installer = arguments.Required("--installer");
  if (arguments.Has("--skip-ramp") && !arguments.Has("--force")) {
    throw UsageError("--skip-ramp is for forced offers: give --force too");
  }
  if (arguments.Has("--rollout")) {
    plan.schedule = ScheduleOf("--rollout", arguments.Value("--rollout"));
  }
  plan.forcedImmediate = arguments.Has("--skip-ramp");
  plan.offer = OfferOfArguments(arguments, plan.installer);
  plan.installed = InstalledFile{plan.offer.md5, ReadInstaller(plan.installer)};
  if (arguments.Has("--key")) {
    plan.keys = {Ed25519PublicKeyOf(ReadKeyFile(arguments.Value("--key")))};
  }
  std::cout << PublishRelease(plan, SystemContentFiles(), Now());
  return 0;
}

// `rollout [options] ACTION [VALUES...]`.
RolloutChange RolloutChangeOf(const Arguments& arguments) {
  const std::vector<std::string>& words = arguments.positional();
  if (words.empty()) {
    throw UsageError("rollout needs status, halt, resume, set or schedule");
  }
  RolloutChange change;
  change.content = arguments.Required("--content");
  change.application = arguments.Value("--app");
  const std::string& action = words[0];
  std::vector<std::string> values(words.begin() + 1, words.end());
  bool takesValues = action == "set" || action == "schedule";
  if (takesValues ? values.empty() || (action == "set" && values.size() != 1) : !values.empty()) {
    throw UsageError("wrong number of arguments for rollout " + action);
  }
  if (arguments.Has("--start") && action != "schedule") {
    throw UsageError("--start goes with rollout schedule");
  }
  if (action == "status" || action == "halt" || action == "resume") {
    change.action = action == "status" ? RolloutAction::kStatus
                    : action == "halt" ? RolloutAction::kHalt
                                       : RolloutAction::kResume;
  } else if (action == "set") {
    std::optional<int> share = server::ParseShare(values[0]);
    if (!share) {
      throw UsageError("rollout set: '" + values[0] + "' is not a percentage from 0 to 100");
    }
    change.action = RolloutAction::kSet;
    change.steps = {{0, *share}};
  } else if (action == "schedule") {
    std::string steps;
    for (const std::string& value : values) {
      steps += value + " ";
    }
    change.action = RolloutAction::kSchedule;
    change.steps = ScheduleOf("rollout schedule", steps);
    if (arguments.Has("--start")) {
      change.start = server::ParseUtcTime(arguments.Value("--start"));
      if (!change.start) {
        throw UsageError("--start: '" + arguments.Value("--start") +
                         "' is not a time such as 2024-12-08T18:00:00Z");
      }
    }
  } else {
    throw UsageError("unknown rollout action '" + action + "'");
  }
  return change;
}

int Rollout(const std::vector<std::string>& list) {
  Arguments arguments(list, kRolloutOptions);
  std::cout << ChangeRollout(RolloutChangeOf(arguments), SystemContentFiles(), Now());
  return 0;
}

// A private empty folder for the per-day pop-up file, removed at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexo-answer-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw Failure("cannot create a temporary folder");
    }
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

int Check(const std::vector<std::string>& list) {
  Arguments arguments(list, kCheckOptions);
  arguments.ExpectPositional(1, 1);
  if ((arguments.Has("--plain") && arguments.Has("--enciphered")) ||
      (arguments.Has("--start") && arguments.Has("--popup"))) {
    throw UsageError("conflicting options");
  }
  CheckOptions options;
  options.form = arguments.Has("--plain")        ? AnswerForm::kPlain
                 : arguments.Has("--enciphered") ? AnswerForm::kEnciphered
                                                 : AnswerForm::kAuto;
  options.kind = arguments.Has("--start")   ? AnswerKind::kStart
                 : arguments.Has("--popup") ? AnswerKind::kPopup
                                            : AnswerKind::kAuto;
  options.agentVersion = WidenAnsi(arguments.Value("--agent-version", VEXO_VERSION));
  if (arguments.Has("--keys") && !arguments.Has("--installer")) {
    throw UsageError("--keys needs --installer, the file the signature must vouch for");
  }
  if (arguments.Has("--installer")) {
    std::string installer = arguments.Required("--installer");
    options.installer = InstalledFile{FileMd5(installer), ReadInstaller(installer)};
  }
  if (arguments.Has("--keys")) {
    options.keys = ParseKeyList(arguments.Value("--keys"));
  }
  std::string input = ReadInput(arguments.positional()[0]);
  std::optional<ScratchFolder> scratch;
  std::string dataFolder = arguments.Value("--data-folder");
  if (dataFolder.empty()) {
    dataFolder = scratch.emplace().path();
  }
  options.dataFolder = WidenAnsi(std::filesystem::absolute(dataFolder).string() + "/");
  CheckReport report = CheckAnswer(input, options);
  std::cout << report.text;
  return report.acceptable ? 0 : kExitFailure;
}

int Dispatch(const std::vector<std::string>& list) {
  if (list.empty()) {
    throw UsageError("a command is required");
  }
  const std::string& command = list[0];
  std::vector<std::string> rest(list.begin() + 1, list.end());
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  if (command == "--version") {
    std::cout << "vexo-answer " VEXO_VERSION "\n";
    return 0;
  }
  if (command == "encipher" || command == "decipher") {
    return Transform(rest, command == "encipher");
  }
  if (command == "md5") {
    return Md5(rest);
  }
  if (command == "offer") {
    return Offer(rest);
  }
  if (command == "check") {
    return Check(rest);
  }
  if (command == "keygen") {
    return Keygen(rest);
  }
  if (command == "sign") {
    return Sign(rest);
  }
  if (command == "release") {
    return Release(rest);
  }
  if (command == "rollout") {
    return Rollout(rest);
  }
  throw UsageError("unknown command '" + command + "'");
}

}  // namespace
}  // namespace vexo::tools

int main(int argc, char** argv) {
  // The locale's character set is the agents' "ANSI code page" here, as in the agent.
  std::setlocale(LC_CTYPE, "");
  using namespace vexo::tools;
  try {
    return Dispatch(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& error) {
    std::cerr << "vexo-answer: " << error.what() << "\n" << kUsage;
    return kExitUsage;
  } catch (const std::exception& error) {
    std::cerr << "vexo-answer: " << error.what() << "\n";
    return kExitFailure;
  }
}
