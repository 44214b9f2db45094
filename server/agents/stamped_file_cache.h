// Values derived from files of the content folder, derived again whenever a file's identity,
// size or modification time changes, so a publisher's edit (or a file renamed into place)
// counts from the next request on without a restart.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>

namespace vexo::server {

template <typename Value>
class StampedFileCache {
 public:
  // The value for the file at `path`, from `load(path, size)` when the file is new or changed;
  // null when the file does not exist or `load` gives null. Each version of a file is loaded
  // once, whatever the number of requests that find it changed at the same moment. `known` is
  // the file's status when the caller has just read it, which spares reading it again.
  template <typename Load>
  std::shared_ptr<const Value> Get(const std::string& path, Load&& load,
                                   const struct stat* known = nullptr) {
    std::optional<FileStamp> stamp = known != nullptr ? StampFrom(*known) : StampOf(path);
    if (!stamp) {
      return nullptr;
    }
    if (std::optional<std::shared_ptr<const Value>> cached = Cached(path, *stamp)) {
      return *cached;
    }
    std::lock_guard loading(loadMutex_);
    if (std::optional<std::shared_ptr<const Value>> cached = Cached(path, *stamp)) {
      return *cached;
    }
    std::shared_ptr<const Value> value = load(path, stamp->size);
    std::unique_lock lock(mutex_);
    entries_[path] = Entry{*stamp, value};
    return value;
  }

 private:
  struct FileStamp {
    unsigned long long device = 0, inode = 0, size = 0;
    long long modifiedSeconds = 0, modifiedNanoseconds = 0;
    long long changedSeconds = 0, changedNanoseconds = 0;  // a chmod that makes it readable
    bool operator==(const FileStamp&) const = default;
  };
  struct Entry {
    FileStamp stamp;
    std::shared_ptr<const Value> value;
  };

  static std::optional<FileStamp> StampOf(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
      return std::nullopt;
    }
    return StampFrom(status);
  }

  static FileStamp StampFrom(const struct stat& status) {
    return FileStamp{status.st_dev,
                     status.st_ino,
                     static_cast<unsigned long long>(status.st_size),
                     status.st_mtim.tv_sec,
                     status.st_mtim.tv_nsec,
                     status.st_ctim.tv_sec,
                     status.st_ctim.tv_nsec};
  }

  std::optional<std::shared_ptr<const Value>> Cached(const std::string& path,
                                                     const FileStamp& stamp) {
    std::shared_lock lock(mutex_);
    auto found = entries_.find(path);
    if (found != entries_.end() && found->second.stamp == stamp) {
      return found->second.value;
    }
    return std::nullopt;
  }

  std::shared_mutex mutex_;
  std::mutex loadMutex_;  // one load at a time
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace vexo::server
