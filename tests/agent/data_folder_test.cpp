#include "agent/data_folder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/folders.h"
#include "tests/support/temp_folder.h"

namespace vexo {
namespace {

using testing::TempFolder;
namespace fs = std::filesystem;

std::u16string Join(const TempFolder& folder, std::u16string rest) {
  const char16_t separator = platform::PathSeparator();
  for (char16_t& c : rest) {
    if (c == u'/')
      c = separator;
  }
  return folder.path().u16string() + separator + rest;
}

TEST(CreateDirectoryPath, CreatesEveryFolderUpToTheLastSeparator) {
  TempFolder root;
  EXPECT_TRUE(CreateDirectoryPath(Join(root, u"a/b/c/file.ini")));
  EXPECT_TRUE(fs::is_directory(root.path() / "a" / "b" / "c"));
  EXPECT_FALSE(fs::exists(root.path() / "a" / "b" / "c" / "file.ini"));
  // Again, with everything present.
  EXPECT_TRUE(CreateDirectoryPath(Join(root, u"a/b/c/file.ini")));
  EXPECT_TRUE(CreateDirectoryPath(Join(root, u"a/b/d/")));
  EXPECT_TRUE(fs::is_directory(root.path() / "a" / "b" / "d"));
}

TEST(CreateDirectoryPath, AFileInTheWayFails) {
  TempFolder root;
  testing::WriteFile(root.path() / "a", "not a folder");
  EXPECT_FALSE(CreateDirectoryPath(Join(root, u"a/b/file")));
  EXPECT_FALSE(fs::exists(root.path() / "a.b"));
}

TEST(CreateDirectoryPath, PathsWithoutARootAreRefused) {
  for (const char16_t* path : {u"", u"relative/folder/", u"vexo/"}) {
    EXPECT_FALSE(CreateDirectoryPath(path));
  }
  EXPECT_FALSE(fs::exists("relative"));
}

TEST(CreateDirectoryPath, ARootAloneIsTrueWhenItExists) {
  TempFolder folder;
  std::u16string path = folder.path().u16string();
  EXPECT_TRUE(CreateDirectoryPath(path.substr(0, platform::PathRootLength(path))));
}

TEST(CreateDirectoryPath, TheCallersTextIsLeftUnchanged) {
  TempFolder root;
  const std::u16string path = Join(root, u"x/y");
  std::u16string copy = path;
  CreateDirectoryPath(copy);
  EXPECT_EQ(copy, path);
  EXPECT_TRUE(fs::is_directory(root.path() / "x"));
  EXPECT_FALSE(fs::exists(root.path() / "x" / "y"));
}

}  // namespace
}  // namespace vexo
