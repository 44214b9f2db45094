#include "server/agents/content_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace vexo::server {
namespace {

constexpr size_t kMaxPlainNameBytes = 128;
// The statistics list at most this many answers' rollouts.
constexpr size_t kMostListedAnswers = 1000;

std::string_view AnswerFileName(AnswerKind kind) {
  return kind == AnswerKind::kStart ? "start.xml" : "popup.xml";
}

// True when every part of `path` but the last resolves to a folder in which the last exists.
bool Resolves(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

std::optional<std::string> RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) == nullptr) {
    return std::nullopt;
  }
  return std::string(buffer);
}

}  // namespace

std::optional<AnswerKind> AnswerKindFromQuery(std::string_view query) {
  if (query == "start") {
    return AnswerKind::kStart;
  }
  if (query == "popup") {
    return AnswerKind::kPopup;
  }
  return std::nullopt;
}

bool IsPlainName(std::string_view name) {
  if (name.empty() || name.size() > kMaxPlainNameBytes || name.front() == '.') {
    return false;
  }
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\' || c == ':') {
      return false;
    }
  }
  return true;
}

bool IsSafeRelativePath(std::string_view relativePath) {
  if (relativePath.empty() || relativePath.size() > PATH_MAX / 2) {
    return false;
  }
  while (true) {
    size_t slash = relativePath.find('/');
    if (!IsPlainName(relativePath.substr(0, slash))) {
      return false;
    }
    if (slash == std::string_view::npos) {
      return true;
    }
    relativePath.remove_prefix(slash + 1);
  }
}

std::unique_ptr<ContentFolder> ContentFolder::Open(const std::string& root, std::string& error) {
  std::optional<std::string> real = RealPath(root);
  struct stat status {};
  if (!real || stat(real->c_str(), &status) != 0) {
    error = "content folder '" + root + "': " + std::strerror(errno);
    return nullptr;
  }
  if (!S_ISDIR(status.st_mode)) {
    error = "content folder '" + root + "' is not a folder";
    return nullptr;
  }
  if (access(real->c_str(), R_OK | X_OK) != 0) {
    error = "content folder '" + root + "' is not readable: " + std::strerror(errno);
    return nullptr;
  }
  return std::unique_ptr<ContentFolder>(new ContentFolder(*real));
}

std::optional<std::string> ContentFolder::RegularFileInside(
    std::string_view relative, std::string_view folder, std::optional<struct stat>* seen) const {
  // Every part of `relative` is a plain name, so without symbolic links on the way the file's
  // real path is the root followed by `relative`: one lstat per part. Links are resolved in
  // full and must still end inside `folder`.
  std::string path = realRoot_;
  struct stat status {};
  for (size_t start = 0; start <= relative.size();) {
    size_t end = std::min(relative.find('/', start), relative.size());
    path += '/';
    path += relative.substr(start, end - start);
    if (lstat(path.c_str(), &status) != 0) {
      return std::nullopt;
    }
    if (S_ISLNK(status.st_mode)) {
      return RealFileInside(realRoot_ + "/" + std::string(relative), folder);
    }
    start = end + 1;
  }
  if (!S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  if (seen != nullptr) {
    *seen = status;
  }
  return path;
}

std::optional<std::string> ContentFolder::RealFileInside(const std::string& path,
                                                         std::string_view folder) const {
  std::optional<std::string> real = RealPath(path);
  if (!real || !real->starts_with(realRoot_ + "/" + std::string(folder))) {
    return std::nullopt;
  }
  struct stat status {};
  if (stat(real->c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  return real;
}

std::optional<std::string> ContentFolder::FindAnswerFile(AnswerKind kind,
                                                         std::string_view application,
                                                         std::optional<struct stat>* seen) const {
  std::string fileName(AnswerFileName(kind));
  if (IsPlainName(application)) {
    std::string own = "apps/" + std::string(application) + "/" + fileName;
    // Most agents' applications have no folder of their own: one lookup of the whole path tells,
    // where the walk part by part takes two.
    if (Resolves(realRoot_ + "/" + own)) {
      if (std::optional<std::string> found = RegularFileInside(own, "apps/", seen)) {
        return found;
      }
    }
  }
  return RegularFileInside(fileName, "", seen);
}

std::optional<OpenFile> ContentFolder::OpenDownload(std::string_view relativePath) const {
  if (!IsSafeRelativePath(relativePath)) {
    return std::nullopt;
  }
  std::optional<std::string> real =
      RegularFileInside("files/" + std::string(relativePath), "files/");
  if (!real) {
    return std::nullopt;
  }
  int descriptor = open(real->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (descriptor < 0) {
    return std::nullopt;
  }
  OpenFile file(descriptor, 0);
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  int64_t modified = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                     static_cast<int64_t>(status.st_mtim.tv_nsec);
  return OpenFile(file.Release(), static_cast<uint64_t>(status.st_size), modified);
}

bool ContentFolder::HasTopLevelAnswers() const {
  return FindAnswerFile(AnswerKind::kStart, {}) || FindAnswerFile(AnswerKind::kPopup, {});
}

std::string ContentFolder::RelativeName(std::string_view path) const {
  if (path.starts_with(realRoot_ + "/")) {
    path.remove_prefix(realRoot_.size() + 1);
  }
  return std::string(path);
}

std::vector<std::string> ContentFolder::StartAnswers() const {
  std::vector<std::string> answers;
  if (std::optional<std::string> top = FindAnswerFile(AnswerKind::kStart, {})) {
    answers.push_back(*top);
  }
  std::vector<std::string> own;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(realRoot_ + "/apps", error), end;
       !error && entry != end && own.size() < kMostListedAnswers; entry.increment(error)) {
    std::string name = entry->path().filename().string();
    std::optional<std::string> answer =
        IsPlainName(name) ? RegularFileInside("apps/" + name + "/start.xml", "apps/")
                          : std::nullopt;
    if (answer) {
      own.push_back(*answer);
    }
  }
  std::sort(own.begin(), own.end());
  answers.insert(answers.end(), own.begin(), own.end());
  return answers;
}

}  // namespace vexo::server
