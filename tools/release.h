// Publishing a release into a content folder that a server may be serving: the installer, the
// signed offer and its rollout policy, each file in place in one step, the installer before the
// offer that names it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/answer_check.h"
#include "tools/content_files.h"
#include "tools/published_answer.h"
#include "tools/start_answer_writer.h"

namespace vexo::tools {

struct ReleasePlan {
  std::string content;      // the content folder
  std::string application;  // "" for the top-level answer, else that of apps/<application>/
  std::string installer;    // the file to publish as files/<offer.name>
  OfferFields offer;        // with the installer's digest, and signature when signed
  InstalledFile installed;  // the installer's digest and facts, for the agents' check
  PinnedKeys keys;          // with a signature: the key it must verify under
  // Empty: every agent at once, or the schedule in force when the answer offers this version
  // already.
  std::vector<RolloutStep> schedule;
  bool forcedImmediate = false;  // a forced offer skips the schedule
};

// Publishes the release and returns what it did, line by line. Before anything is replaced the
// new answer is read with the agents' own parsing and must be accepted with no fault. Then the
// installer lands under files/ (unless the same file is there already), the policy (which
// keeps the section of the release being replaced, so that the answer still in place keeps its
// cohort), and last the answer. A failure throws std::runtime_error: what had landed is the
// installer (which no answer names yet) or the policy (which serves the old answer as before),
// so the previous release is still served as it was.
std::string PublishRelease(const ReleasePlan& plan, ContentFiles& files, int64_t now);

}  // namespace vexo::tools
