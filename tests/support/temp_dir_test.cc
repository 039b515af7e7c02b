#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

namespace ravik::harness {
namespace {

mode_t mode_of(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode;
}

TEST(TempDirTest, EachDirectoryIsPrivateAndDistinct) {
  const TempDir first;
  const TempDir second;
  EXPECT_NE(first.path(), second.path());
  EXPECT_TRUE(S_ISDIR(mode_of(first.path())));
  EXPECT_EQ(mode_of(first.path()) & 07777, 0700u);
  EXPECT_EQ(first.file("x"), first.path() + "/x");
}

TEST(TempDirTest, UnderAGivenRoot) {
  const TempDir root;
  const TempDir dir(root.path());
  EXPECT_EQ(std::filesystem::path(dir.path()).parent_path(), root.path());
  EXPECT_EQ(mode_of(dir.path()) & 07777, 0700u);
}

TEST(TempDirTest, WriteFile_HasExactlyTheModeAndContents) {
  const TempDir dir;
  const mode_t old_mask = ::umask(0077);
  const std::string path = dir.write_file("lock", "abc", 0644);
  ::umask(old_mask);
  EXPECT_EQ(mode_of(path) & 07777, 0644u);
  EXPECT_EQ(std::filesystem::file_size(path), 3u);
}

TEST(TempDirTest, Destructor_RemovesTheTree) {
  std::string path;
  {
    const TempDir dir;
    path = dir.path();
    std::filesystem::create_directories(dir.file("a/b"));
    dir.write_file("a/b/c", "data");
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace ravik::harness
