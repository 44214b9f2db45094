// A content folder's start answer and rollout policy on arbitrary bytes, as the server reads
// them: an answer cut of its offer offers nothing, and a policy reads back as it was written.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "server/agents/start_answer_offer.h"
#include "server/common/rollout_policy.h"

namespace {

void Check(bool condition) {
  if (!condition)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vexo::server;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  ReadOffer(text);
  if (std::optional<std::string> without = WithoutOffer(text)) {
    Check(!ReadOffer(*without).present);
  }
  if (std::optional<std::string> with = WithOffer(text, "<software_update/>")) {
    Check(WithoutOffer(*with).has_value());
  }
  std::string error;
  if (std::optional<RolloutPolicy> policy = ParseRolloutPolicy(text, error)) {
    std::optional<RolloutPolicy> again = ParseRolloutPolicy(FormatRolloutPolicy(*policy), error);
    Check(again && again->releases.size() == policy->releases.size());
    for (const ReleaseRollout& rollout : policy->releases) {
      Check(rollout.ShareAt(rollout.start, false) <= kWholeShare);
    }
  }
  return 0;
}
