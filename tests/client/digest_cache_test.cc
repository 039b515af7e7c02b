#include "job/digest_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace ravik::job {
namespace {

// The cache is used only where it is private to this user: made 0700 when
// missing, found again by the exact identity; a directory others may write,
// one of another user and a link to ours are left alone.
TEST(DigestCacheTest, OnlyAPrivateDirectoryOfOurOwnIsUsed) {
  const harness::TempDir dir;
  const FileIdentity file{
      .device = 1, .inode = 2, .size = 3, .mtime_ns = 4, .ctime_ns = 5};
  const RememberedDigest digest{
      .image_size = 3, .image_sha256 = std::string(64, 'a'), .file_sha256 = {}};
  const DigestCache own(dir.file("cache/ravik"));
  own.remember(file, digest);
  const auto found = own.find(file);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->image_sha256, digest.image_sha256);
  EXPECT_EQ(found->image_size, 3u);
  FileIdentity touched = file;
  touched.ctime_ns += 1;
  EXPECT_FALSE(own.find(touched));
  struct stat info = {};
  ASSERT_EQ(::stat(dir.file("cache/ravik").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);

  ASSERT_EQ(::mkdir(dir.file("shared").c_str(), 0700), 0);
  ASSERT_EQ(::chmod(dir.file("shared").c_str(), 0777), 0);
  DigestCache(dir.file("shared")).remember(file, digest);
  EXPECT_NE(::access(dir.file("shared/digests").c_str(), F_OK), 0);

  ASSERT_EQ(::symlink(dir.file("cache/ravik").c_str(), dir.file("link").c_str()), 0);
  EXPECT_FALSE(DigestCache(dir.file("link")).find(file));

  if (::geteuid() == 0) {
    ASSERT_EQ(::mkdir(dir.file("theirs").c_str(), 0700), 0);
    ASSERT_EQ(::chown(dir.file("theirs").c_str(), 65534, 65534), 0);
    DigestCache(dir.file("theirs")).remember(file, digest);
    EXPECT_NE(::access(dir.file("theirs/digests").c_str(), F_OK), 0);
  }
}

}  // namespace
}  // namespace ravik::job
