#include "tools/release.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "agent/answer_rules.h"
#include "agent/answer_text.h"
#include "server/common/utc_day.h"

namespace vexo::tools {
namespace {

void Require(bool condition, const std::string& message) {
  if (!condition) {
    throw std::runtime_error(message);
  }
}

bool SameContent(const std::string& a, const std::string& b) {
  std::error_code error;
  if (std::filesystem::file_size(a, error) != std::filesystem::file_size(b, error) || error) {
    return false;
  }
  std::ifstream first(a, std::ios::binary);
  std::ifstream second(b, std::ios::binary);
  return first && second &&
         std::equal(std::istreambuf_iterator<char>(first), std::istreambuf_iterator<char>(),
                    std::istreambuf_iterator<char>(second));
}

// The old answer with the new offer in place of its own, so its shortcut rows and mini pop-up
// stay; without an old answer, the offer alone.
std::string NewAnswerText(const PublishedAnswer& old, const OfferFields& offer) {
  if (!old.text) {
    return WriteStartAnswer(offer);
  }
  std::optional<std::string> text = server::WithOffer(*old.text, WriteOfferElement(offer));
  Require(text.has_value(), old.name +
                                " is not well-formed XML with response and data elements; mend "
                                "it or move it away first");
  return *text;
}

// The new answer as agents read it: accepted without a fault, offering this installer.
void CheckAsAgentsRead(const std::string& text, const ReleasePlan& plan) {
  CheckOptions options;
  options.form = AnswerForm::kPlain;
  options.kind = AnswerKind::kStart;
  options.agentVersion = u"0";
  options.dataFolder = u"/data-folder/";
  options.installer = plan.installed;
  options.keys = plan.keys;
  CheckReport report = CheckAnswer(text, options);
  Require(report.acceptable,
          "agents would not take the new answer; nothing was replaced:\n" + report.text);
  server::OfferInAnswer offer = server::ReadOffer(text);
  Require(
      offer.present && offer.version == plan.offer.version,
      "the new answer does not offer version " + plan.offer.version + " as the server reads it");
}

// The section the server uses for the answer still in place, kept so that it is served as it
// is until the new answer replaces it: without a policy file the whole share, with one it
// cannot use none.
ReleaseRollout CurrentSection(const PublishedAnswer& old, int64_t now) {
  if (old.policy) {
    if (const ReleaseRollout* section = old.policy->Find(old.offer.version)) {
      return *section;
    }
  }
  ReleaseRollout section = NewReleaseRollout(old.offer.version, {}, now);
  section.halted = old.hasPolicyFile;
  return section;
}

// The rollout of the version offered now, when the release offers that version again (a new
// signature, URL or file of the same release): it goes on with its cohort, its clock and its
// halt, so that publishing again neither shuffles nor widens the share; a new schedule may
// only widen it.
const ReleaseRollout* RunningRollout(const PublishedAnswer& old, const ReleasePlan& plan) {
  bool sameRelease = old.offer.present && old.offer.version == plan.offer.version;
  return sameRelease && old.policy ? old.policy->Find(plan.offer.version) : nullptr;
}

RolloutPolicy NewPolicy(const PublishedAnswer& old, const ReleasePlan& plan, int64_t now) {
  RolloutPolicy policy;
  if (const ReleaseRollout* running = RunningRollout(old, plan)) {
    policy.releases.push_back(
        plan.schedule.empty() ? *running : Rescheduled(*running, plan.schedule, now, false, now));
  } else {
    policy.releases.push_back(NewReleaseRollout(plan.offer.version, plan.schedule, now));
  }
  policy.releases.back().forcedImmediate = plan.forcedImmediate;
  if (old.offer.present && old.offer.version != plan.offer.version) {
    policy.releases.push_back(CurrentSection(old, now));
  }
  return policy;
}

// Copies the installer to files/<name> unless that very file is there; a different file of
// that name is never replaced, since agents may be downloading it.
std::string PlaceInstaller(const ReleasePlan& plan, ContentFiles& files) {
  std::string folder = plan.content + "/files";
  std::string name = "files/" + plan.offer.name;
  std::string target = plan.content + "/" + name;
  if (std::filesystem::exists(target)) {
    Require(SameContent(target, plan.installer),
            name + " exists with other content; publish the installer under another --name");
    return name + ": already this installer\n";
  }
  files.CreateFolder(folder);
  std::string md5;
  std::string copied = files.CopyTemporary(folder, plan.installer, md5);
  try {
    Require(md5 == plan.offer.md5, "the installer changed while it was copied");
    files.Rename(copied, target);
  } catch (...) {
    files.Remove(copied);
    throw;
  }
  return name + ": installed (md5 " + md5 + ")\n";
}

}  // namespace

std::string PublishRelease(const ReleasePlan& plan, ContentFiles& files, int64_t now) {
  Require(IsPlainFileName(WidenAnsi(plan.offer.name)),
          "--name '" + plan.offer.name + "' must be a plain file name");
  PublishedAnswer old = PublishedAnswer::Read(plan.content, plan.application);
  std::string text = NewAnswerText(old, plan.offer);
  CheckAsAgentsRead(text, plan);
  RolloutPolicy policy = NewPolicy(old, plan, now);

  std::string report = PlaceInstaller(plan, files);
  if (!plan.application.empty()) {
    files.CreateFolder(plan.content + "/apps");
    files.CreateFolder(old.folder);
  }
  old.WritePolicy(policy, files);
  const ReleaseRollout& rollout = policy.releases.front();
  report +=
      server::PolicyPathOf(old.name) + ": release " + rollout.release + " from " +
      server::FormatUtcTime(rollout.start) + ", schedule " + server::FormatSchedule(rollout.steps) +
      (RunningRollout(old, plan) ? ", its cohort kept" : "") +
      (rollout.halted ? "; still HALTED: resume the rollout to let the offer out" : "") + "\n";
  ReplaceFile(files, old.folder, old.answerPath, text);
  return report + old.name + ": offers " + plan.offer.version + "\n";
}

}  // namespace vexo::tools
