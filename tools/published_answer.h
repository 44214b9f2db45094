// A start answer in a content folder and the rollout policy beside it, as vexo-answer's release
// and rollout commands read and replace them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "server/agents/start_answer_offer.h"
#include "server/common/rollout_policy.h"
#include "tools/content_files.h"

namespace vexo::tools {

using server::OfferInAnswer;
using server::ReleaseRollout;
using server::RolloutPolicy;
using server::RolloutSalt;
using server::RolloutStep;

struct PublishedAnswer {
  std::string folder;               // the content folder, or its apps/<application>/
  std::string answerPath;           // folder/start.xml
  std::string policyPath;           // folder/start.rollout
  std::string name;                 // start.xml or apps/<application>/start.xml, for messages
  std::optional<std::string> text;  // the answer, when there is one
  OfferInAnswer offer;
  bool hasPolicyFile = false;
  std::optional<RolloutPolicy> policy;  // when the policy file is well-formed
  std::string policyError;              // when it is not

  // The answer served to agents of `application` ("" for the top-level one). Throws
  // std::runtime_error when a file exists but cannot be read.
  static PublishedAnswer Read(const std::string& content, const std::string& application);

  // Puts `newPolicy` in the place of the policy file.
  void WritePolicy(const RolloutPolicy& newPolicy, ContentFiles& files) const;
};

// A fresh salt from the system's random source, so each release draws its own cohort.
RolloutSalt NewRolloutSalt();

// A release's section as a new release starts it: the whole share at once unless `steps` says
// otherwise.
ReleaseRollout NewReleaseRollout(std::string release, std::vector<RolloutStep> steps, int64_t now);

// `rollout` with a new schedule from `start` on, its salt and halt kept. Throws
// std::runtime_error when that would take agents out of the share it offers at `now`; a
// rollout `isNew` has no agents to keep.
ReleaseRollout Rescheduled(const ReleaseRollout& rollout, std::vector<RolloutStep> steps,
                           int64_t start, bool isNew, int64_t now);

// What `rollout status` prints about one release's rollout.
std::string DescribeRollout(const ReleaseRollout& rollout, bool forcedOffer, int64_t now);

}  // namespace vexo::tools
