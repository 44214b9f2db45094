// The file operations that publishing into a content folder takes. Each new file is written
// under a hidden name in the folder it is meant for and flushed to the disk, then renamed over
// its published name in one step, so a running server (which serves no hidden name) finds the
// old file or the new one, never a part of either. A test stands in for the file system to
// make any one of these operations fail.
#pragma once

#include <string>
#include <string_view>

namespace vexo::tools {

class ContentFiles {
 public:
  virtual ~ContentFiles() = default;

  // A new hidden file in `folder` holding `content`; its path.
  virtual std::string WriteTemporary(const std::string& folder, std::string_view content) = 0;
  // A new hidden file in `folder` holding a copy of the file `source`; its path, and in `md5`
  // the digest of the bytes written.
  virtual std::string CopyTemporary(const std::string& folder, const std::string& source,
                                    std::string& md5) = 0;
  // Puts `from` in the place of `to`, replacing any file there, durably.
  virtual void Rename(const std::string& from, const std::string& to) = 0;
  virtual void CreateFolder(const std::string& path) = 0;
  // Removes a file this object wrote, if it is still there.
  virtual void Remove(const std::string& path) noexcept = 0;
};

// The real file system. Each failure throws std::runtime_error naming the file.
ContentFiles& SystemContentFiles();

// Puts a new file holding `content` in the place of `target`, a file of `folder`; on failure
// nothing is left behind.
void ReplaceFile(ContentFiles& files, const std::string& folder, const std::string& target,
                 std::string_view content);

}  // namespace vexo::tools
