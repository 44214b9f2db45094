// Enciphered answers, prepared once per version of each answer file.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/agents/stamped_file_cache.h"
#include "server/agents/start_answer_offer.h"

namespace vexo::server {

// The token in an answer file that stands for the server's public origin, so one example
// folder works whatever port the server is given.
inline constexpr std::string_view kOriginToken = "{{origin}}";

// Larger answer files are refused; the agent reads only the first 102400 bytes of an answer.
inline constexpr size_t kMaxAnswerFileBytes = 1 << 20;
inline constexpr size_t kAgentAnswerLimitBytes = 102400;

// Replaces every origin token in `text` with `origin`, escaped for XML text.
std::string SubstituteOrigin(std::string_view text, std::string_view origin);

// One version of an answer file, ready to send.
struct PreparedAnswer {
  std::shared_ptr<const std::string> body;  // enciphered
  OfferInAnswer offer;
  // Enciphered without its offer, for agents outside a rollout's share; null when the answer
  // offers nothing or is not well-formed enough to cut the offer out safely.
  std::shared_ptr<const std::string> withoutOffer;
  std::string policyPath;  // where the rollout policy of its offer is, if it has one
};

class AnswerCache {
 public:
  using Encipher = std::function<std::string(std::string_view plainText)>;
  using Warn = std::function<void(const std::string& message)>;

  AnswerCache(std::string origin, Encipher encipher, Warn warn);

  // The answer of the file at `path`, read again whenever the file changed; null when the file
  // cannot be read or is too large. `known`: the file's status, when the caller just read it.
  std::shared_ptr<const PreparedAnswer> Get(const std::string& path,
                                            const struct stat* known = nullptr);

 private:
  std::shared_ptr<const PreparedAnswer> Load(const std::string& path);

  std::string origin_;
  Encipher encipher_;
  Warn warn_;
  StampedFileCache<PreparedAnswer> files_;
};

}  // namespace vexo::server
