#include "tools/content_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "agent/crypto/md5.h"

namespace vexo::tools {
namespace {

constexpr size_t kCopyChunkBytes = 1 << 16;

[[noreturn]] void Fail(const std::string& what, const std::string& path) {
  throw std::runtime_error("cannot " + what + " '" + path + "': " + std::strerror(errno));
}

// Closes the descriptor on every way out.
class Descriptor {
 public:
  explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
  ~Descriptor() {
    if (descriptor_ >= 0) {
      close(descriptor_);
    }
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return descriptor_; }
  // Closes now, so that a failure to close is seen.
  bool Close() {
    int descriptor = descriptor_;
    descriptor_ = -1;
    return close(descriptor) == 0;
  }

 private:
  int descriptor_;
};

void WriteAll(int descriptor, const char* bytes, size_t size, const std::string& path) {
  while (size > 0) {
    ssize_t written = write(descriptor, bytes, size);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      Fail("write", path);
    }
    bytes += written;
    size -= static_cast<size_t>(written);
  }
}

// Writes through `write(descriptor)` into a new hidden file of `folder`, flushed and closed.
template <typename Writer>
std::string NewHiddenFile(const std::string& folder, Writer&& writeContent) {
  std::string path = folder + "/.vexo-answer-XXXXXX";
  Descriptor file(mkstemp(path.data()));
  if (file.get() < 0) {
    Fail("create a file in", folder);
  }
  try {
    writeContent(file.get(), path);
    // Published files are read by the server's user, which is seldom the publisher.
    if (fchmod(file.get(), 0644) != 0 || fsync(file.get()) != 0 || !file.Close()) {
      Fail("write", path);
    }
  } catch (...) {
    unlink(path.c_str());
    throw;
  }
  return path;
}

class SystemFiles : public ContentFiles {
 public:
  std::string WriteTemporary(const std::string& folder, std::string_view content) override {
    return NewHiddenFile(folder, [&](int descriptor, const std::string& path) {
      WriteAll(descriptor, content.data(), content.size(), path);
    });
  }

  std::string CopyTemporary(const std::string& folder, const std::string& source,
                            std::string& md5) override {
    Descriptor in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
      Fail("read", source);
    }
    return NewHiddenFile(folder, [&](int descriptor, const std::string& path) {
      Md5Digest digest;
      digest.Init();
      std::string chunk(kCopyChunkBytes, '\0');
      ssize_t got = 0;
      while ((got = read(in.get(), chunk.data(), chunk.size())) != 0) {
        if (got < 0 && errno == EINTR) {
          continue;
        }
        if (got < 0) {
          Fail("read", source);
        }
        digest.Update(chunk.data(), static_cast<uint32_t>(got));
        WriteAll(descriptor, chunk.data(), static_cast<size_t>(got), path);
      }
      digest.Final();
      md5 = digest.HexDigest();
    });
  }

  void Rename(const std::string& from, const std::string& to) override {
    if (rename(from.c_str(), to.c_str()) != 0) {
      Fail("put a file in the place of", to);
    }
    SyncFolderOf(to);
  }

  void CreateFolder(const std::string& path) override {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
      Fail("create the folder", path);
    }
    SyncFolderOf(path);
  }

  void Remove(const std::string& path) noexcept override { unlink(path.c_str()); }

 private:
  // A rename or a new entry is durable once its folder is flushed.
  static void SyncFolderOf(const std::string& path) {
    std::string folder = std::filesystem::path(path).parent_path().string();
    Descriptor descriptor(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY));
    if (descriptor.get() < 0 || fsync(descriptor.get()) != 0) {
      Fail("flush the folder", folder);
    }
  }
};

}  // namespace

ContentFiles& SystemContentFiles() {
  static SystemFiles files;
  return files;
}

void ReplaceFile(ContentFiles& files, const std::string& folder, const std::string& target,
                 std::string_view content) {
  std::string written = files.WriteTemporary(folder, content);
  try {
    files.Rename(written, target);
  } catch (...) {
    files.Remove(written);
    throw;
  }
}

}  // namespace vexo::tools
