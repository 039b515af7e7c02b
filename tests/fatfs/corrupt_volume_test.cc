// Untrusted volumes: impossible boot sectors, broken cluster chains, a root
// directory without an end, truncated streams. Each must fail with a clear
// kCorrupt error instead of crashing, hanging or allocating without bound.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fat_test_support.h"
#include "fatfs/byte_order.h"
#include "fatfs/fatfs.h"

namespace fatfs_test {
namespace {

using fatfs::ErrorKind;
using fatfs::load_le16;
using fatfs::load_le32;
using fatfs::store_le16;
using fatfs::store_le32;

// Where things are, recomputed from the boot sector independently of the
// library.
struct Offsets {
  std::uint64_t fat = 0;
  std::uint64_t root = 0;  // FAT12/16 root region, or FAT32 cluster 2
  std::uint64_t data = 0;
  std::uint32_t cluster_bytes = 0;
};

Offsets offsets_of(const std::vector<std::uint8_t>& image) {
  Offsets o;
  const std::uint32_t sector = load_le16(image, 11);
  o.cluster_bytes = sector * image[13];
  const std::uint32_t fat_sectors =
      load_le16(image, 22) != 0 ? load_le16(image, 22) : load_le32(image, 36);
  o.fat = std::uint64_t{load_le16(image, 14)} * sector;
  o.root = o.fat + std::uint64_t{image[16]} * fat_sectors * sector;
  const std::uint64_t root_bytes = std::uint64_t{load_le16(image, 17)} * 32;
  o.data = o.root + (root_bytes + sector - 1) / sector * sector;
  return o;
}

fatfs::Error mount_error(std::vector<std::uint8_t> image) {
  fatfs::MemoryStream stream(std::move(image));
  auto fs = fatfs::FileSystem::mount(stream);
  if (fs) return fatfs::Error{ErrorKind::kIo, "<mounted>"};
  return fs.error();
}

fatfs::Error open_error(std::vector<std::uint8_t> image, const std::string& name) {
  fatfs::MemoryStream stream(std::move(image));
  auto fs = fatfs::FileSystem::mount(stream);
  if (!fs) return fatfs::Error{ErrorKind::kIo, "<mount failed: " + fs.error().text + ">"};
  auto file = fs->root_dir().open_file(name);
  if (file) return fatfs::Error{ErrorKind::kIo, "<opened>"};
  return file.error();
}

#define EXPECT_CORRUPT(error_expr, fragment)                         \
  do {                                                               \
    const fatfs::Error e_ = (error_expr);                            \
    EXPECT_EQ(e_.kind, ErrorKind::kCorrupt) << e_.text;              \
    EXPECT_NE(e_.text.find(fragment), std::string::npos) << e_.text; \
  } while (0)

// A FAT32 volume from the library holding DATA.BIN in clusters 3, 4, 5.
class Fat32Corruption : public ::testing::Test {
 protected:
  void SetUp() override {
    fatfs::MemoryStream stream(std::vector<std::uint8_t>(fatfs::kMinFat32VolumeBytes));
    fatfs::FormatOptions options;
    options.volume_label = "CORRUPT";  // the label entry comes first in the root
    ASSERT_TRUE(fatfs::format_volume(stream, options).has_value());
    {
      auto fs = fatfs::FileSystem::mount(stream).value();
      auto file = fs.root_dir().create_file("DATA.BIN").value();
      ASSERT_TRUE(file.write(pattern_bytes(1500, 1)).has_value());
      ASSERT_TRUE(fs.unmount().has_value());
    }
    image_ = stream.bytes();
    at_ = offsets_of(image_);
  }

  void set_fat(std::uint32_t cluster, std::uint32_t value) {
    store_le32(image_, at_.fat + cluster * 4, value);
  }

  std::vector<std::uint8_t> image_;
  Offsets at_;
};

TEST_F(Fat32Corruption, ChainLoops_AreFoundWhenTheFileOpens) {
  set_fat(5, 3);
  EXPECT_CORRUPT(open_error(image_, "DATA.BIN"), "loop");
  set_fat(5, 5);
  EXPECT_CORRUPT(open_error(image_, "DATA.BIN"), "loop");
}

TEST_F(Fat32Corruption, LinksOutOfRangeFreeOrBad_AreCorrupt) {
  set_fat(4, 0x0FFFFFF0);
  EXPECT_CORRUPT(open_error(image_, "DATA.BIN"), "out of range");
  set_fat(4, 0);
  EXPECT_CORRUPT(open_error(image_, "DATA.BIN"), "free cluster");
  set_fat(4, 0x0FFFFFF7);
  EXPECT_CORRUPT(open_error(image_, "DATA.BIN"), "bad cluster");
  set_fat(4, 1);
  EXPECT_CORRUPT(open_error(image_, "DATA.BIN"), "out of range");
}

TEST_F(Fat32Corruption, SizeBeyondTheChain_IsCorrupt) {
  // The short entry follows the label entry in the root cluster.
  store_le32(image_, at_.data + 32 + 28, 1537);
  EXPECT_CORRUPT(open_error(image_, "DATA.BIN"), "exceeds its cluster chain");
  store_le32(image_, at_.data + 32 + 28, 1536);
  EXPECT_EQ(open_error(image_, "DATA.BIN").text, "<opened>");
}

TEST_F(Fat32Corruption, FirstClusterOutOfRange_IsCorrupt) {
  store_le16(image_, at_.data + 32 + 20, 0x7FFF);
  EXPECT_CORRUPT(open_error(image_, "DATA.BIN"), "out of range");
}

TEST_F(Fat32Corruption, RootDirectoryWithoutAnEnd_FailsTheMount) {
  set_fat(2, 2);
  EXPECT_CORRUPT(mount_error(image_), "loop");
  // An honest chain longer than a directory may be (65,536 entries).
  set_fat(2, 6);
  for (std::uint32_t c = 6; c < 6 + 4200; ++c) set_fat(c, c + 1);
  EXPECT_CORRUPT(mount_error(image_), "longer than 65,536 entries");
}

TEST_F(Fat32Corruption, TruncatedStream_FailsTheMount) {
  image_.resize(image_.size() - 512);
  EXPECT_CORRUPT(mount_error(image_), "larger than its stream");
  image_.resize(100);
  EXPECT_CORRUPT(mount_error(image_), "too small");
}

TEST_F(Fat32Corruption, ImpossibleBootSectors_FailTheMount) {
  const struct {
    std::size_t offset;
    int width;  // bytes
    std::uint32_t value;
    const char* fragment;
  } cases[] = {
      {510, 1, 0x00, "signature"},
      {11, 2, 0, "sector size"},
      {11, 2, 1000, "sector size"},
      {11, 2, 8192, "sector size"},
      {13, 1, 3, "cluster size"},
      {13, 1, 0, "cluster size"},
      {14, 2, 0, "reserved"},
      {16, 1, 0, "no FAT copies"},
      {32, 4, 0, "no volume size"},
      {32, 4, 0xFFFFFFFF, "larger than its stream"},
      {36, 4, 0, "no FAT size"},
      {36, 4, 10, "FAT is too small"},
      {36, 4, 0x00FFFFFF, "no room for data"},
      {17, 2, 512, "fixed root directory"},
      {42, 2, 1, "version"},
      {44, 4, 0, "root directory cluster"},
      {44, 4, 0x0FFFFFFF, "root directory cluster"},
      {40, 2, 0x0085, "active FAT"},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> image = image_;
    if (c.width == 1) image[c.offset] = static_cast<std::uint8_t>(c.value);
    if (c.width == 2) store_le16(image, c.offset, static_cast<std::uint16_t>(c.value));
    if (c.width == 4) store_le32(image, c.offset, c.value);
    SCOPED_TRACE(c.fragment);
    EXPECT_CORRUPT(mount_error(image), c.fragment);
  }
}

// FAT12 and FAT16 volumes from mkfs.fat with one multi-cluster file.
class SmallFatCorruption : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    const std::string image = dir_.file("small.img");
    const std::string local = dir_.file("local");
    write_local_file(local, pattern_bytes(2000, 1));
    const std::string size = GetParam() == 12 ? "2M" : "16M";
    ASSERT_EQ(run("truncate -s " + size + " " + quote(image)).status, 0);
    ASSERT_EQ(
        run("mkfs.fat -s 1 -F " + std::to_string(GetParam()) + " " + quote(image)).status,
        0);
    ASSERT_EQ(run("mcopy -i " + quote(image) + " " + quote(local) + " ::DATA.BIN").status,
              0);
    image_ = read_local_file(image);
    at_ = offsets_of(image_);
  }

  void set_fat(std::uint32_t cluster, std::uint32_t value) {
    if (GetParam() == 16) {
      store_le16(image_, at_.fat + cluster * 2, static_cast<std::uint16_t>(value));
      return;
    }
    const std::uint64_t at = at_.fat + cluster + cluster / 2;
    std::uint16_t pair = load_le16(image_, at);
    pair = (cluster & 1) ? static_cast<std::uint16_t>((pair & 0x000F) | (value << 4))
                         : static_cast<std::uint16_t>((pair & 0xF000) | (value & 0xFFF));
    store_le16(image_, at, pair);
  }

  TempDir dir_;
  std::vector<std::uint8_t> image_;
  Offsets at_;
};

TEST_P(SmallFatCorruption, BrokenChains_AreCorrupt) {
  const std::uint32_t first = load_le16(image_, at_.root + 26);
  ASSERT_GE(first, 2u);
  std::vector<std::uint8_t> pristine = image_;
  set_fat(first + 1, first);
  EXPECT_CORRUPT(open_error(image_, "data.bin"), "loop");
  image_ = pristine;
  set_fat(first + 1, GetParam() == 12 ? 0xFF0 : 0xFFF0);
  EXPECT_CORRUPT(open_error(image_, "data.bin"), "out of range");
  image_ = pristine;
  store_le32(image_, at_.root + 28, 5000);
  EXPECT_CORRUPT(open_error(image_, "data.bin"), "exceeds its cluster chain");
}

TEST_P(SmallFatCorruption, FullRootWithoutEndMarker_StillMounts) {
  // A fixed root whose every slot is used has no end marker; it ends with
  // its region.
  for (std::uint64_t at = at_.root + 32; at < at_.data; at += 32) {
    std::copy_n("DELETED    ", 11, image_.begin() + static_cast<std::ptrdiff_t>(at));
    image_[at] = 0xE5;
  }
  fatfs::MemoryStream stream(image_);
  auto fs = fatfs::FileSystem::mount(stream);
  ASSERT_TRUE(fs.has_value()) << fs.error().text;
  EXPECT_EQ(fs->root_dir().list().value().size(), 1u);
}

TEST_P(SmallFatCorruption, RootNotEndingOnASectorBoundary_FailsTheMount) {
  // Where data starts would be a guess: implementations round differently.
  store_le16(image_, 17, static_cast<std::uint16_t>(load_le16(image_, 17) - 1));
  EXPECT_CORRUPT(mount_error(image_), "whole number of sectors");
}

TEST_P(SmallFatCorruption, CrossLinkedChain_IsNeitherTruncatedNorReplaced) {
  // A second file, then DATA.BIN's last cluster linked into its chain: the
  // size still fits, so reading works, but changing DATA.BIN would free or
  // overwrite the other file's clusters.
  const std::string image = dir_.file("cross.img");
  write_local_file(image, image_);
  write_local_file(dir_.file("other"), pattern_bytes(3000, 2));
  ASSERT_EQ(
      run("mcopy -i " + quote(image) + " " + quote(dir_.file("other")) + " ::OTHER.BIN")
          .status,
      0);
  image_ = read_local_file(image);
  const std::uint32_t data_first = load_le16(image_, at_.root + 26);
  const std::uint32_t other_first = load_le16(image_, at_.root + 32 + 26);
  set_fat(data_first + 3, other_first);  // 2000 bytes: clusters first..first+3
  const std::vector<std::uint8_t> before = image_;
  fatfs::MemoryStream stream(image_);
  {
    auto fs = fatfs::FileSystem::mount(stream).value();
    auto file = fs.root_dir().open_file("DATA.BIN").value();
    std::vector<std::uint8_t> back(2000);
    ASSERT_TRUE(file.read_exact(back).has_value());
    EXPECT_CORRUPT(file.truncate().error(), "cross-linked");
    EXPECT_CORRUPT(file.write(back).error(), "cross-linked");
    EXPECT_CORRUPT(fs.root_dir().write_file("data.bin", back).error(), "cross-linked");
    ASSERT_TRUE(fs.unmount().has_value());
  }
  EXPECT_EQ(stream.bytes(), before);
}

INSTANTIATE_TEST_SUITE_P(Types, SmallFatCorruption, ::testing::Values(12, 16),
                         [](const auto& param_info) {
                           return "Fat" + std::to_string(param_info.param);
                         });

}  // namespace
}  // namespace fatfs_test
