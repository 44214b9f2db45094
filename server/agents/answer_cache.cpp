#include "server/agents/answer_cache.h"

#include <sys/stat.h>

#include <mutex>
#include <optional>

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
    : origin_(std::move(origin)), encipher_(std::move(encipher)), warn_(std::move(warn)) {}

std::shared_ptr<const std::string> AnswerCache::Get(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    return nullptr;
  }
  FileStamp stamp{status.st_dev, status.st_ino, static_cast<unsigned long long>(status.st_size),
                  status.st_mtim.tv_sec, status.st_mtim.tv_nsec};
  {
    std::shared_lock lock(mutex_);
    auto found = entries_.find(path);
    if (found != entries_.end() && found->second.stamp == stamp) {
      return found->second.body;
    }
  }
  std::shared_ptr<const std::string> body = Load(path, stamp);
  std::unique_lock lock(mutex_);
  if (body) {
    entries_[path] = Entry{stamp, body};
  } else {
    entries_.erase(path);
  }
  return body;
}

std::shared_ptr<const std::string> AnswerCache::Load(const std::string& path,
                                                     const FileStamp& stamp) {
  if (stamp.size > kMaxAnswerFileBytes) {
    warn_("answer " + path + " is larger than " + std::to_string(kMaxAnswerFileBytes) +
          " bytes; not served");
    return nullptr;
  }
  std::optional<std::string> plain = ReadFileUpTo(path, kMaxAnswerFileBytes);
  if (!plain) {
    warn_("answer " + path + " cannot be read");
    return nullptr;
  }
  if (plain->size() > kMaxAnswerFileBytes) {
    warn_("answer " + path + " grew beyond " + std::to_string(kMaxAnswerFileBytes) +
          " bytes; not served");
    return nullptr;
  }
  auto body = std::make_shared<const std::string>(encipher_(SubstituteOrigin(*plain, origin_)));
  if (body->size() > kAgentAnswerLimitBytes) {
    warn_("answer " + path + " enciphers to " + std::to_string(body->size()) +
          " bytes; agents read only the first " + std::to_string(kAgentAnswerLimitBytes));
  }
  return body;
}

}  // namespace vexo::server
