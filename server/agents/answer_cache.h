// Enciphered answers, prepared once per version of each answer file.
#pragma once

#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vexo::server {

// The token in an answer file that stands for the server's public origin, so one example
// folder works whatever port the server is given.
inline constexpr std::string_view kOriginToken = "{{origin}}";

// Larger answer files are refused; the agent reads only the first 102400 bytes of an answer.
inline constexpr size_t kMaxAnswerFileBytes = 1 << 20;
inline constexpr size_t kAgentAnswerLimitBytes = 102400;

// Replaces every origin token in `text` with `origin`, escaped for XML text.
std::string SubstituteOrigin(std::string_view text, std::string_view origin);

class AnswerCache {
 public:
  using Encipher = std::function<std::string(std::string_view plainText)>;
  using Warn = std::function<void(const std::string& message)>;

  AnswerCache(std::string origin, Encipher encipher, Warn warn);

  // The enciphered answer of the file at `path`, read again whenever the file's identity, size
  // or modification time changed; null when the file cannot be read or is too large.
  std::shared_ptr<const std::string> Get(const std::string& path);

 private:
  struct FileStamp {
    unsigned long long device = 0, inode = 0, size = 0;
    long long modifiedSeconds = 0, modifiedNanoseconds = 0;
    bool operator==(const FileStamp&) const = default;
  };
  struct Entry {
    FileStamp stamp;
    std::shared_ptr<const std::string> body;
  };

  std::shared_ptr<const std::string> Load(const std::string& path, const FileStamp& stamp);

  std::string origin_;
  Encipher encipher_;
  Warn warn_;
  std::shared_mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace vexo::server
