// The library against independent implementations: files it writes read
// back identically through mtools and leave fsck.fat clean; volumes made by
// mkfs.fat and filled by mcopy read correctly and take new files.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "fat_test_support.h"
#include "fatfs/fatfs.h"
#include "volume_helpers.h"

namespace fatfs_test {
namespace {

std::vector<std::uint8_t> bytes_of(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::string text_of(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

class LibraryWrites : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = dir_.file("volume.img");
    make_sparse_file(image_, 64 << 20);
    ASSERT_TRUE(format_image(image_, "WRITES").has_value());
  }

  void put(const std::string& name, const std::vector<std::uint8_t>& content) {
    const auto written = replace_file(image_, name, content);
    ASSERT_TRUE(written.has_value()) << written.error().text;
  }

  TempDir dir_;
  std::string image_;
};

TEST_F(LibraryWrites, AssortedFiles_ReadBackThroughMtoolsAndPassFsck) {
  // The longest name whose entries fit one 512-byte unit; one more
  // character would take a second, and is refused with nothing written.
  const std::string long_name = std::string(191, 'L') + ".txt";
  const auto image_before = read_local_file(image_);
  const auto too_long = replace_file(image_, "L" + long_name, bytes_of("x"));
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().kind, fatfs::ErrorKind::kInvalidInput);
  EXPECT_NE(too_long.error().text.find("one 512-byte sector"), std::string::npos)
      << too_long.error().text;
  EXPECT_EQ(read_local_file(image_), image_before);
  const auto mebibyte = pattern_bytes(1 << 20, 7);
  put("README.TXT", bytes_of("plain upper-case name\n"));
  put("config.txt", bytes_of("kernel=boot.img\n"));
  put(long_name, bytes_of("a name of one sector's entries\n"));
  put("EMPTY", {});
  put("big.bin", mebibyte);

  EXPECT_EQ(mtools_read(image_, "README.TXT"), "plain upper-case name\n");
  EXPECT_EQ(mtools_read(image_, "config.txt"), "kernel=boot.img\n");
  EXPECT_EQ(mtools_read(image_, long_name), "a name of one sector's entries\n");
  EXPECT_EQ(mtools_read(image_, "EMPTY"), "");
  EXPECT_EQ(mtools_read(image_, "big.bin"), text_of(mebibyte));
  EXPECT_TRUE(fsck_clean(image_));

  // Other systems see the name with its case, which takes long-name entries.
  const CommandResult listing = run("mdir -i " + quote(image_) + " ::");
  EXPECT_NE(listing.output.find(" config.txt"), std::string::npos) << listing.output;
  EXPECT_NE(listing.output.find(long_name), std::string::npos) << listing.output;
}

TEST_F(LibraryWrites, ShortFileOverLongerOne_LeavesOnlyTheShortContent) {
  put("config.txt", pattern_bytes(5000, 1));
  put("config.txt", bytes_of("0123456789"));
  EXPECT_EQ(mtools_read(image_, "config.txt"), "0123456789");
  EXPECT_TRUE(fsck_clean(image_));
  // Only the one cluster of the new content stays allocated (plus the root).
  const CommandResult fsck = run("fsck.fat -n " + quote(image_));
  EXPECT_NE(fsck.output.find("2 files, 2/"), std::string::npos) << fsck.output;
}

TEST_F(LibraryWrites, ManyFiles_GrowTheRootIntoMoreClusters) {
  // 512-byte clusters hold 16 entries; each of these names takes three.
  for (int i = 0; i < 40; ++i) {
    put("file number " + std::to_string(i) + ".txt",
        bytes_of("content " + std::to_string(i)));
  }
  for (int i = 0; i < 40; i += 13) {
    EXPECT_EQ(mtools_read(image_, "file number " + std::to_string(i) + ".txt"),
              "content " + std::to_string(i));
  }
  EXPECT_EQ(mtools_read(image_, "file number 39.txt"), "content 39");
  EXPECT_TRUE(fsck_clean(image_));
}

TEST_F(LibraryWrites, NameOfMtoolsFile_IsFoundInAnyCase) {
  write_local_file(dir_.file("local"), bytes_of("from mtools"));
  ASSERT_EQ(run("mcopy -i " + quote(image_) + " " + quote(dir_.file("local")) +
                " ::Mixed.Case.Name")
                .status,
            0);
  const auto read = read_file(image_, "MIXED.CASE.NAME");
  ASSERT_TRUE(read.has_value()) << read.error().text;
  EXPECT_EQ(text_of(*read), "from mtools");
}

struct MkfsCase {
  int fat_bits;
  const char* size;
  const char* extra;
  int sector = 512;  // logical sector size
};

std::string case_name(const MkfsCase& c) {
  return "Fat" + std::to_string(c.fat_bits) +
         (c.sector == 512 ? "" : "Sector" + std::to_string(c.sector));
}

void PrintTo(const MkfsCase& c, std::ostream* os) { *os << case_name(c); }

class MkfsVolumes : public ::testing::TestWithParam<MkfsCase> {
 protected:
  void SetUp() override {
    image_ = dir_.file("mkfs.img");
    const MkfsCase& c = GetParam();
    ASSERT_EQ(run("truncate -s " + std::string(c.size) + " " + quote(image_)).status, 0);
    const CommandResult mkfs =
        run("mkfs.fat -F " + std::to_string(c.fat_bits) + " -S " +
            std::to_string(c.sector) + " " + c.extra + " -n ORACLE " + quote(image_));
    ASSERT_EQ(mkfs.status, 0) << mkfs.output;
  }

  void mcopy_in(const std::string& name, const std::vector<std::uint8_t>& content) {
    const std::string local = dir_.file("local");
    write_local_file(local, content);
    const CommandResult copied = run("mcopy -o -i " + quote(image_) + " " + quote(local) +
                                     " " + quote("::" + name));
    ASSERT_EQ(copied.status, 0) << copied.output;
  }

  TempDir dir_;
  std::string image_;
};

TEST_P(MkfsVolumes, FilesFromMcopy_ReadCorrectlyAndNewFilesPassFsck) {
  const auto first = pattern_bytes(3000, 1);
  const auto fragmented = pattern_bytes(40000, 2);
  mcopy_in("first.bin", first);
  mcopy_in("gap1.bin", pattern_bytes(5000, 3));
  mcopy_in("keep.bin", pattern_bytes(100, 4));
  mcopy_in("gap2.bin", pattern_bytes(7000, 5));
  mcopy_in("A rather long file name.text", pattern_bytes(10, 6));
  // Deleting leaves holes and deleted entries; the next file fills the holes
  // and so is fragmented.
  ASSERT_EQ(run("mdel -i " + quote(image_) + " ::gap1.bin ::gap2.bin").status, 0);
  mcopy_in("fragmented.bin", fragmented);

  fatfs::FileStream stream = fatfs::FileStream::open(image_).value();
  {
    auto fs = fatfs::FileSystem::mount(stream);
    ASSERT_TRUE(fs.has_value()) << fs.error().text;
    EXPECT_EQ(static_cast<int>(fs->fat_type()), GetParam().fat_bits == 12   ? 0
                                                : GetParam().fat_bits == 16 ? 1
                                                                            : 2);
    EXPECT_EQ(fs->volume_label(), "ORACLE");
    const auto listing = fs->root_dir().list();
    ASSERT_TRUE(listing.has_value());
    std::vector<std::string> names;
    for (const auto& entry : *listing) names.push_back(entry.name);
    EXPECT_EQ(names, (std::vector<std::string>{"first.bin", "keep.bin",
                                               "A rather long file name.text",
                                               "fragmented.bin"}));
  }
  EXPECT_EQ(read_file(image_, "first.bin").value(), first);
  EXPECT_EQ(read_file(image_, "FRAGMENTED.BIN").value(), fragmented);
  EXPECT_EQ(read_file(image_, "a rather long file name.TEXT").value(),
            pattern_bytes(10, 6));
  EXPECT_EQ(read_file(image_, "gap1.bin").error().kind, fatfs::ErrorKind::kNotFound);

  const auto added = pattern_bytes(20000, 9);
  ASSERT_TRUE(replace_file(image_, "added by library.bin", added).has_value());
  ASSERT_TRUE(replace_file(image_, "keep.bin", bytes_of("shorter")).has_value());
  ASSERT_TRUE(
      replace_file(image_, "fragmented.bin", pattern_bytes(45000, 10)).has_value());
  EXPECT_TRUE(fsck_clean(image_));
  EXPECT_EQ(mtools_read(image_, "added by library.bin"), text_of(added));
  EXPECT_EQ(mtools_read(image_, "keep.bin"), "shorter");
  EXPECT_EQ(mtools_read(image_, "fragmented.bin"), text_of(pattern_bytes(45000, 10)));
  EXPECT_EQ(mtools_read(image_, "first.bin"), text_of(first));
}

// Sectors larger than 512 bytes are what disks with larger logical blocks
// need; the FAT32 one has enough clusters for mtools.
INSTANTIATE_TEST_SUITE_P(
    Types, MkfsVolumes,
    ::testing::Values(MkfsCase{12, "4M", ""}, MkfsCase{16, "16M", "-s 1"},
                      MkfsCase{32, "40M", "-s 1"}, MkfsCase{12, "4M", "", 1024},
                      MkfsCase{16, "32M", "-s 1", 2048},
                      MkfsCase{32, "300M", "-s 1", 4096}),
    [](const auto& param_info) { return case_name(param_info.param); });

// mkfs.fat makes FAT32 layouts below 65,525 clusters (with a warning) and
// systems mount them by their layout, so boot partitions formatted that way
// must be editable. mtools judges by the cluster count and cannot write
// them, so fsck.fat is the oracle here.
TEST(SmallFat32Layouts, AreMountedAsFat32AndEditedCleanly) {
  for (const char* geometry : {"34089472 ", "2G -s 64 "}) {
    SCOPED_TRACE(geometry);
    TempDir dir;
    const std::string image = dir.file("small32.img");
    const std::string size =
        std::string(geometry).substr(0, std::string(geometry).find(' '));
    ASSERT_EQ(run("truncate -s " + size + " " + quote(image)).status, 0);
    const std::string extra = std::string(geometry).substr(size.size());
    ASSERT_EQ(run("mkfs.fat -F 32 " + extra + quote(image)).status, 0);
    {
      fatfs::FileStream stream = fatfs::FileStream::open(image).value();
      auto fs = fatfs::FileSystem::mount(stream);
      ASSERT_TRUE(fs.has_value()) << fs.error().text;
      EXPECT_EQ(fs->fat_type(), fatfs::FatType::kFat32);
      EXPECT_LT(fs->cluster_count(), fatfs::kMinFat32Clusters);
      ASSERT_TRUE(fs->unmount().has_value());
    }
    const auto content = pattern_bytes(70000, 7);
    ASSERT_TRUE(replace_file(image, "user-data", content).has_value());
    EXPECT_EQ(read_file(image, "USER-DATA").value(), content);
    // fsck.fat warns about the cluster count, and must find nothing else.
    const CommandResult fsck = run("fsck.fat -n " + quote(image));
    EXPECT_EQ(fsck.status, 0) << fsck.output;
    EXPECT_EQ(std::count(fsck.output.begin(), fsck.output.end(), '\n'), 5) << fsck.output;
    EXPECT_NE(fsck.output.find(" 1 files, "), std::string::npos) << fsck.output;
  }
}

}  // namespace
}  // namespace fatfs_test
