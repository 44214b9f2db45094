// Test support: a fresh folder per test in the system's temporary folder, and whole-file reads
// and writes. Portable: the agent's tests run it under wine too.
#pragma once

#include <filesystem>
#include <string>

namespace vexo::testing {

// A folder of its own, private to its owner, removed with everything in it with the object.
class TempFolder {
 public:
  TempFolder();  // throws std::runtime_error when no folder can be made
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The file or folder `name` below it, as narrow text.
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The whole file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
// Replaces the file with `content`, creating the folders above it.
void WriteFile(const std::filesystem::path& path, const std::string& content);

}  // namespace vexo::testing
