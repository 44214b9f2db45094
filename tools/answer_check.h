// What an agent takes from an answer, read with the agent's own parsers.
#pragma once

#include <optional>
#include <string>

#include "agent/update_signature.h"

namespace vexo::tools {

enum class AnswerForm { kAuto, kPlain, kEnciphered };
enum class AnswerKind { kAuto, kStart, kPopup };

// An installer the offer is checked against.
struct InstalledFile {
  std::string md5;
  InstallerFacts facts;
};

struct CheckOptions {
  AnswerForm form = AnswerForm::kAuto;
  AnswerKind kind = AnswerKind::kAuto;
  std::u16string agentVersion;  // the version the offer is compared with
  std::u16string dataFolder;    // ends with a separator; the per-day pop-up file is read below it
  std::optional<InstalledFile> installer;
  PinnedKeys keys;  // with an installer: the keys its signature must verify under
};

struct CheckReport {
  std::string text;         // in the locale's character set
  bool acceptable = false;  // the agent accepts the answer and its XML has no faults
};

// Plain answers start with '<' after optional white space and a UTF-8 byte-order mark; anything
// else is taken as enciphered unless the options say otherwise.
CheckReport CheckAnswer(const std::string& bytes, const CheckOptions& options);

}  // namespace vexo::tools
