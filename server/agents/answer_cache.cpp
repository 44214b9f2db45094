#include "server/agents/answer_cache.h"

#include <optional>

#include "server/common/rollout_policy.h"
#include "server/common/small_file.h"
#include "xml/xml_escape.h"

namespace vexo::server {
std::string SubstituteOrigin(std::string_view text, std::string_view origin) {
  std::string escapedOrigin = EscapeText(origin, ESCAPE_QUOTES);
  std::string result;
  result.reserve(text.size());
  while (true) {
    size_t token = text.find(kOriginToken);
    result += text.substr(0, token);
    if (token == std::string_view::npos) {
      return result;
    }
    result += escapedOrigin;
    text.remove_prefix(token + kOriginToken.size());
  }
}

AnswerCache::AnswerCache(std::string origin, Encipher encipher, Warn warn)
    : origin_(std::move(origin)), encipher_(std::move(encipher)), warn_(std::move(warn)) {
  if (!warn_) {
    warn_ = [](const std::string&) {};
  }
}

std::shared_ptr<const PreparedAnswer> AnswerCache::Get(const std::string& path,
                                                       const struct stat* known) {
  return files_.Get(
      path, [this](const std::string& file, size_t) { return Load(file); }, known);
}

std::shared_ptr<const PreparedAnswer> AnswerCache::Load(const std::string& path) {
  std::string error;
  std::optional<std::string> plain = ReadSmallFile(path, kMaxAnswerFileBytes, error);
  if (!plain) {
    warn_("answer " + path + " is not served: " + error);
    return nullptr;
  }
  std::string text = SubstituteOrigin(*plain, origin_);
  auto answer = std::make_shared<PreparedAnswer>();
  answer->body = std::make_shared<const std::string>(encipher_(text));
  if (answer->body->size() > kAgentAnswerLimitBytes) {
    warn_("answer " + path + " enciphers to " + std::to_string(answer->body->size()) +
          " bytes; agents read only the first " + std::to_string(kAgentAnswerLimitBytes));
  }
  answer->offer = ReadOffer(text);
  answer->policyPath = PolicyPathOf(path);
  if (answer->offer.present) {
    if (std::optional<std::string> cut = WithoutOffer(text)) {
      answer->withoutOffer = std::make_shared<const std::string>(encipher_(*cut));
    } else {
      warn_("answer " + path +
            " is not well-formed XML: under a rollout, agents outside the share cannot be given "
            "it without its offer and get an error instead");
    }
  }
  return answer;
}

}  // namespace vexo::server
