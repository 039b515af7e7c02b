#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "job/image_digest.h"
#include "job/target_description.h"
#include "support/temp_dir.h"

namespace ravik::job {
namespace {

// The image's size and digest as a write without --sha256 measures them.
Result<ImageDigest> measure(const std::string& path) {
  RAVIK_ASSIGN_OR_RETURN(std::unique_ptr<ImageSource> source, open_image_source(path));
  return measure_image(*source, std::nullopt, UINT64_MAX);
}

TEST(DigestImageTest, KnownContents_GiveTheirSha256AndSize) {
  const harness::TempDir dir;
  dir.write_file("abc", "abc");
  auto digest = measure(dir.path() + "/abc");
  ASSERT_TRUE(digest) << digest.error();
  EXPECT_EQ(digest->size_bytes, 3u);
  EXPECT_EQ(digest->sha256,
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  // Larger than one 4 MiB read: every chunk must be counted and hashed.
  dir.write_file("big", std::string(5 * 1024 * 1024, 'a'));
  digest = measure(dir.path() + "/big");
  ASSERT_TRUE(digest) << digest.error();
  EXPECT_EQ(digest->size_bytes, 5u * 1024 * 1024);
  EXPECT_EQ(digest->sha256.size(), 64u);
}

TEST(DigestImageTest, MissingOrDirectory_Fails) {
  const harness::TempDir dir;
  auto missing = measure(dir.path() + "/nothing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code(), codes::kImageMissing);
  EXPECT_TRUE(missing.error().message().starts_with("Could not open the image: "));
  auto directory = measure(dir.path());
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().message(), "The image must be a regular file.");
}

TEST(DescribeTargetTest, RegularFile_IsDescribedByAbsolutePathAndLength) {
  const harness::TempDir dir;
  dir.write_file("disk.img", std::string(8192, '\0'));
  auto target = describe_target(dir.path() + "/./disk.img");
  ASSERT_TRUE(target) << target.error();
  EXPECT_TRUE(target->regular_file);
  EXPECT_EQ(target->fields.device_id, "disk.img");
  EXPECT_EQ(target->fields.device_path, dir.path() + "/disk.img");
  EXPECT_EQ(target->fields.size_bytes, 8192u);
  EXPECT_EQ(target->fields.platform, "linux");
}

TEST(DescribeTargetTest, DirectoryOrMissing_IsRefused) {
  const harness::TempDir dir;
  auto directory = describe_target(dir.path());
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().message(),
            "The target must be a block device or a regular file.");
  auto missing = describe_target(dir.path() + "/gone");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().message().starts_with("Could not find the target: "));
}

}  // namespace
}  // namespace ravik::job
