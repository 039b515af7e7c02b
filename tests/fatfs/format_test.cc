// Formatting: the layout chosen for each size, the limits, and volumes that
// fsck.fat and mtools accept, from the smallest size to 64 GiB.
#include "fatfs/format.h"

#include <gtest/gtest.h>

#include "fat_test_support.h"
#include "volume_helpers.h"

namespace fatfs_test {
namespace {

using fatfs::ErrorKind;

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kGiB = 1ULL << 30;

TEST(PlanFat32, SmallestVolume_HasExactlyTheFat32MinimumOfClusters) {
  const auto plan = fatfs::plan_fat32(fatfs::kMinFat32VolumeBytes);
  ASSERT_TRUE(plan.has_value());
  EXPECT_EQ(plan->cluster_count, fatfs::kMinFat32Clusters);
  EXPECT_EQ(plan->sectors_per_cluster, 1u);

  const auto below = fatfs::plan_fat32(fatfs::kMinFat32VolumeBytes - 1);
  ASSERT_FALSE(below.has_value());
  EXPECT_EQ(below.error().kind, ErrorKind::kInvalidInput);
  EXPECT_NE(below.error().text.find("too small for FAT32"), std::string::npos);
}

TEST(PlanFat32, RecoveryPartitionOf32MiB_IsRefusedAsTooSmall) {
  // A 33 MiB disk leaves a 32 MiB partition after the first MiB.
  EXPECT_FALSE(fatfs::plan_fat32(32 * kMiB).has_value());
}

TEST(PlanFat32, Sizes_GetTheCommonClusterSizes) {
  const struct {
    std::uint64_t bytes;
    std::uint32_t sectors_per_cluster;
  } cases[] = {{64 * kMiB, 1},  {260 * kMiB, 1},       {261 * kMiB, 8},
               {8 * kGiB, 8},   {8 * kGiB + kMiB, 16}, {16 * kGiB, 16},
               {32 * kGiB, 32}, {64 * kGiB, 64},       {2048 * kGiB - 512, 64}};
  for (const auto& c : cases) {
    const auto plan = fatfs::plan_fat32(c.bytes);
    ASSERT_TRUE(plan.has_value()) << c.bytes;
    EXPECT_EQ(plan->sectors_per_cluster, c.sectors_per_cluster) << c.bytes;
    // Every cluster has a FAT entry, and one FAT sector less would leave
    // clusters without one.
    EXPECT_EQ(plan->total_sectors, c.bytes / 512);
    EXPECT_EQ(plan->cluster_count, (plan->total_sectors - 32 - 2ULL * plan->fat_sectors) /
                                       plan->sectors_per_cluster);
    EXPECT_GE(std::uint64_t{plan->fat_sectors} * 128, plan->cluster_count + 2ULL)
        << c.bytes;
    const std::uint64_t clusters_with_smaller_fat =
        (plan->total_sectors - 32 - 2ULL * (plan->fat_sectors - 1)) /
        plan->sectors_per_cluster;
    EXPECT_LT(std::uint64_t{plan->fat_sectors - 1} * 128, clusters_with_smaller_fat + 2)
        << c.bytes;
    EXPECT_GE(plan->cluster_count, fatfs::kMinFat32Clusters);
  }
}

TEST(PlanFat32, BeyondTheSectorCountField_IsRefused) {
  EXPECT_TRUE(fatfs::plan_fat32(fatfs::kMaxFat32VolumeBytes + 511).has_value());
  const auto above = fatfs::plan_fat32(fatfs::kMaxFat32VolumeBytes + 512);
  ASSERT_FALSE(above.has_value());
  EXPECT_NE(above.error().text.find("too large for FAT32"), std::string::npos);
}

// Disks with larger logical blocks get volumes whose sector is the block: a
// cluster is never less than one sector, and the limits scale with it.
TEST(PlanFat32, LargerSectors_HaveTheirOwnLimitsAndClustersOfAtLeastOneSector) {
  EXPECT_EQ(fatfs::min_fat32_volume_bytes(512), fatfs::kMinFat32VolumeBytes);
  for (const std::uint32_t sector : {1024u, 2048u, 4096u}) {
    SCOPED_TRACE(sector);
    const std::uint64_t smallest = fatfs::min_fat32_volume_bytes(sector);
    const auto plan = fatfs::plan_fat32(smallest, sector);
    ASSERT_TRUE(plan.has_value()) << plan.error().text;
    EXPECT_EQ(plan->bytes_per_sector, sector);
    EXPECT_EQ(plan->sectors_per_cluster, 1u);
    EXPECT_EQ(plan->cluster_count, fatfs::kMinFat32Clusters);
    EXPECT_GE(std::uint64_t{plan->fat_sectors} * sector / 4, plan->cluster_count + 2ULL);
    EXPECT_FALSE(fatfs::plan_fat32(smallest - 1, sector).has_value());
  }
  EXPECT_EQ(fatfs::plan_fat32(8 * kGiB, 4096)->sectors_per_cluster, 1u);
  EXPECT_EQ(fatfs::plan_fat32(64 * kGiB, 4096)->sectors_per_cluster, 8u);
  // 32 KiB clusters number FAT32 volumes up to about 8 TiB; with 4096-byte
  // sectors the sector count field would reach 16 TiB.
  EXPECT_FALSE(fatfs::fat32_volume_too_large(8000 * kGiB, 4096));
  EXPECT_TRUE(fatfs::fat32_volume_too_large(8200 * kGiB, 4096));
  EXPECT_FALSE(fatfs::plan_fat32(8200 * kGiB, 4096).has_value());
  EXPECT_FALSE(fatfs::plan_fat32(64 * kMiB, 8192).has_value());
}

TEST(PaddedVolumeLabel, Labels_ArePaddedOrRefused) {
  EXPECT_EQ(fatfs::padded_volume_label("BOOT").value(), "BOOT       ");
  EXPECT_EQ(fatfs::padded_volume_label("MY DISK").value(), "MY DISK    ");
  EXPECT_EQ(fatfs::padded_volume_label("ABCDEFGHIJK").value(), "ABCDEFGHIJK");
  EXPECT_EQ(fatfs::padded_volume_label("").value(), "NO NAME    ");
  for (const char* bad : {"ABCDEFGHIJKL", "boot", " BOOT", "A.B", "A*B", "A\x01"}) {
    const auto padded = fatfs::padded_volume_label(bad);
    ASSERT_FALSE(padded.has_value()) << bad;
    EXPECT_EQ(padded.error().kind, ErrorKind::kInvalidInput);
  }
}

TEST(FormatVolume, TooSmallStream_WritesNothing) {
  fatfs::MemoryStream stream(std::vector<std::uint8_t>(2 * kMiB, 0xAB));
  const auto formatted = fatfs::format_volume(stream, {});
  ASSERT_FALSE(formatted.has_value());
  EXPECT_EQ(formatted.error().kind, ErrorKind::kInvalidInput);
  for (const std::uint8_t b : stream.bytes()) ASSERT_EQ(b, 0xAB);
}

TEST(FormatVolume, NonFat32Type_IsRefused) {
  fatfs::MemoryStream stream(std::vector<std::uint8_t>(40 * kMiB));
  fatfs::FormatOptions options;
  options.type = fatfs::FatType::kFat16;
  EXPECT_EQ(fatfs::format_volume(stream, options).error().kind, ErrorKind::kInvalidInput);
}

TEST(FormatVolume, FailingStream_ReportsTheWriteErrorAndLeavesNoBootSector) {
  fatfs::MemoryStream memory(std::vector<std::uint8_t>(40 * kMiB, 0));
  FaultyStream stream(memory);
  stream.fail_writes_after(3);
  const auto formatted = fatfs::format_volume(stream, {});
  ASSERT_FALSE(formatted.has_value());
  EXPECT_EQ(formatted.error().kind, ErrorKind::kIo);
  EXPECT_EQ(memory.bytes()[510], 0);  // no signature: the volume does not mount
  EXPECT_FALSE(fatfs::FileSystem::mount(memory).has_value());
}

class FormatOracle : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(FormatOracle, FormattedVolume_PassesFsckAndShowsItsLabel) {
  TempDir dir;
  const std::string image = dir.file("volume.img");
  make_sparse_file(image, GetParam());
  ASSERT_TRUE(format_image(image, "RAVIK DISK").has_value());

  EXPECT_TRUE(fsck_clean(image));
  const CommandResult label = run("mlabel -s -i " + quote(image) + " ::");
  EXPECT_EQ(label.status, 0) << label.output;
  EXPECT_NE(label.output.find("Volume label is RAVIK DISK"), std::string::npos)
      << label.output;
  const CommandResult info = run("minfo -i " + quote(image) + " ::");
  EXPECT_NE(info.output.find("disk type=\"FAT32   \""), std::string::npos) << info.output;

  fatfs::FileStream stream = fatfs::FileStream::open(image).value();
  const auto fs = fatfs::FileSystem::mount(stream);
  ASSERT_TRUE(fs.has_value());
  EXPECT_EQ(fs->fat_type(), fatfs::FatType::kFat32);
  EXPECT_EQ(fs->volume_label(), "RAVIK DISK");
}

TEST(FormatVolume, LargerSectors_PassFsckAndHoldFilesMtoolsReads) {
  for (const std::uint32_t sector : {1024u, 4096u}) {
    SCOPED_TRACE(sector);
    TempDir dir;
    const std::string image = dir.file("volume.img");
    make_sparse_file(image, fatfs::min_fat32_volume_bytes(sector) + 3 * sector);
    {
      fatfs::FileStream stream = fatfs::FileStream::open(image).value();
      fatfs::FormatOptions options;
      options.volume_label = "BIG SECTORS";
      options.bytes_per_sector = sector;
      ASSERT_TRUE(fatfs::format_volume(stream, options).has_value());
    }
    EXPECT_TRUE(fsck_clean(image));
    const CommandResult info = run("minfo -i " + quote(image) + " ::");
    EXPECT_NE(info.output.find("sector size: " + std::to_string(sector) + " bytes"),
              std::string::npos)
        << info.output;
    const auto content = pattern_bytes(50000, 3);
    ASSERT_TRUE(replace_file(image, "config.txt", content).has_value());
    EXPECT_EQ(mtools_read(image, "config.txt"),
              std::string(content.begin(), content.end()));
    EXPECT_TRUE(fsck_clean(image));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FormatOracle,
                         ::testing::Values(fatfs::kMinFat32VolumeBytes, 100 * kMiB,
                                           260 * kMiB + 512, kGiB + 12345, 16 * kGiB,
                                           64 * kGiB));

}  // namespace
}  // namespace fatfs_test
