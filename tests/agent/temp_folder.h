// A fresh folder per test, removed with its contents.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace vexo::testing {

class ScopedFolder {
 public:
  ScopedFolder() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("vexo-agent-test-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path_);
  }
  ~ScopedFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScopedFolder(const ScopedFolder&) = delete;
  ScopedFolder& operator=(const ScopedFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The folder as the agent's UTF-16 text.
  std::u16string text() const { return path_.u16string(); }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace vexo::testing
