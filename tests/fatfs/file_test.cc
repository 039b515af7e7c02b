// Files on an in-memory FAT32 volume: reading, writing, seeking, truncating,
// running out of space, and what a read-only session leaves behind.
#include "fatfs/file.h"

#include <gtest/gtest.h>

#include <vector>

#include "fat_test_support.h"
#include "fatfs/byte_order.h"
#include "fatfs/fatfs.h"

namespace fatfs_test {
namespace {

using fatfs::ErrorKind;
using fatfs::SeekFrom;

constexpr std::size_t kVolumeBytes = fatfs::kMinFat32VolumeBytes + 4096;

std::vector<std::uint8_t> formatted_volume(std::size_t bytes = kVolumeBytes) {
  fatfs::MemoryStream stream{std::vector<std::uint8_t>(bytes)};
  fatfs::FormatOptions options;
  options.volume_label = "MEMORY";
  if (!fatfs::format_volume(stream, options)) std::abort();
  return stream.bytes();
}

std::uint32_t recorded_free_count(const fatfs::MemoryStream& stream) {
  return fatfs::load_le32(stream.bytes(), 512 + 488);
}

class FileTest : public ::testing::Test {
 protected:
  FileTest() : stream_(formatted_volume()) {}

  fatfs::FileSystem mount() {
    auto fs = fatfs::FileSystem::mount(stream_);
    if (!fs) std::abort();
    return std::move(*fs);
  }

  fatfs::MemoryStream stream_;
};

TEST_F(FileTest, WrittenData_ReadsBackAfterRemount) {
  const auto data = pattern_bytes(70000, 3);
  {
    auto fs = mount();
    auto file = fs.root_dir().create_file("data.bin").value();
    ASSERT_TRUE(file.write(data).has_value());
    EXPECT_EQ(file.size(), data.size());
    ASSERT_TRUE(fs.unmount().has_value());
  }
  auto fs = mount();
  auto file = fs.root_dir().open_file("DATA.BIN").value();
  EXPECT_EQ(file.seek(0, SeekFrom::kEnd).value(), data.size());
  ASSERT_TRUE(file.seek(0, SeekFrom::kStart).has_value());
  std::vector<std::uint8_t> back(data.size());
  ASSERT_TRUE(file.read_exact(back).has_value());
  EXPECT_EQ(back, data);

  std::vector<std::uint8_t> more(10);
  EXPECT_EQ(file.read(more).value(), 0u);
  const auto past_end = file.read_exact(more);
  ASSERT_FALSE(past_end.has_value());
  EXPECT_EQ(past_end.error().kind, ErrorKind::kIo);
}

TEST_F(FileTest, WritesAtClusterBoundariesAndInTheMiddle_KeepEveryByte) {
  auto fs = mount();
  auto file = fs.root_dir().create_file("pieces").value();
  std::vector<std::uint8_t> expected;
  for (const std::size_t piece : {512u, 512u, 1u, 511u, 1025u}) {
    const auto bytes = pattern_bytes(piece, static_cast<std::uint32_t>(expected.size()));
    ASSERT_TRUE(file.write(bytes).has_value());
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  }
  // Overwrite across a cluster boundary; the size stays.
  ASSERT_TRUE(file.seek(500, SeekFrom::kStart).has_value());
  const auto patch = pattern_bytes(30, 99);
  ASSERT_TRUE(file.write(patch).has_value());
  std::copy(patch.begin(), patch.end(), expected.begin() + 500);
  EXPECT_EQ(file.size(), expected.size());

  ASSERT_TRUE(file.seek(0, SeekFrom::kStart).has_value());
  std::vector<std::uint8_t> back(expected.size());
  ASSERT_TRUE(file.read_exact(back).has_value());
  EXPECT_EQ(back, expected);
}

TEST_F(FileTest, Seek_OutsideTheFileFailsAndKeepsThePosition) {
  auto fs = mount();
  auto file = fs.root_dir().create_file("seek").value();
  ASSERT_TRUE(file.write(pattern_bytes(100, 1)).has_value());
  ASSERT_EQ(file.seek(40, SeekFrom::kStart).value(), 40u);
  EXPECT_EQ(file.seek(10, SeekFrom::kCurrent).value(), 50u);
  EXPECT_EQ(file.seek(-100, SeekFrom::kEnd).value(), 0u);
  for (const auto& [offset, from] :
       {std::pair{101L, SeekFrom::kStart}, std::pair{-1L, SeekFrom::kStart},
        std::pair{1L, SeekFrom::kEnd}, std::pair{-101L, SeekFrom::kEnd},
        std::pair{INT64_MAX, SeekFrom::kEnd}, std::pair{INT64_MIN, SeekFrom::kEnd}}) {
    const auto moved = file.seek(offset, from);
    ASSERT_FALSE(moved.has_value()) << offset;
    EXPECT_EQ(moved.error().kind, ErrorKind::kInvalidInput);
    EXPECT_EQ(file.position(), 0u);
  }
}

TEST_F(FileTest, Truncate_ReleasesTheClustersBeyondThePosition) {
  const std::uint32_t free_before = recorded_free_count(stream_);
  {
    auto fs = mount();
    auto file = fs.root_dir().create_file("shrink").value();
    ASSERT_TRUE(file.write(pattern_bytes(10 * 512, 1)).has_value());
    ASSERT_TRUE(file.seek(513, SeekFrom::kStart).has_value());
    ASSERT_TRUE(file.truncate().has_value());
    EXPECT_EQ(file.size(), 513u);
    ASSERT_TRUE(fs.unmount().has_value());
  }
  EXPECT_EQ(recorded_free_count(stream_), free_before - 2);
  {
    auto fs = mount();
    auto file = fs.root_dir().open_file("shrink").value();
    EXPECT_EQ(file.size(), 513u);
    ASSERT_TRUE(file.truncate().has_value());  // at position 0: nothing is left
    ASSERT_TRUE(fs.unmount().has_value());
  }
  EXPECT_EQ(recorded_free_count(stream_), free_before);
}

TEST_F(FileTest, FullVolume_FailsWithNoSpaceAndKeepsWhatWasWritten) {
  auto fs = mount();
  auto file = fs.root_dir().create_file("filler").value();
  const std::uint64_t capacity =
      std::uint64_t{fs.cluster_count() - 1} * fs.cluster_size();
  const auto written = file.write(std::vector<std::uint8_t>(capacity + 4096, 0x11));
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, ErrorKind::kNoSpace);
  EXPECT_EQ(file.size(), capacity);
  EXPECT_EQ(fs.root_dir()
                .create_file("another")
                .value()
                .write(std::vector<std::uint8_t>(1))
                .error()
                .kind,
            ErrorKind::kNoSpace);
  ASSERT_TRUE(fs.unmount().has_value());
  EXPECT_EQ(recorded_free_count(stream_), 0u);

  auto again = mount();
  EXPECT_EQ(again.root_dir().open_file("filler").value().size(), capacity);
}

TEST_F(FileTest, WriteFileWithoutRoom_LeavesTheVolumeAsItWas) {
  const auto old_content = pattern_bytes(10000, 4);
  std::uint64_t free_bytes = 0;
  {
    auto fs = mount();
    ASSERT_TRUE(fs.root_dir().write_file("config.txt", old_content).has_value());
    auto filler = fs.root_dir().create_file("filler").value();
    const std::uint64_t capacity =
        std::uint64_t{fs.cluster_count() - 1} * fs.cluster_size();
    // Leave exactly two clusters free.
    const std::uint64_t used = (old_content.size() + fs.cluster_size() - 1) /
                               fs.cluster_size() * fs.cluster_size();
    free_bytes = 2ULL * fs.cluster_size();
    ASSERT_TRUE(filler.write(std::vector<std::uint8_t>(capacity - used - free_bytes, 1))
                    .has_value());
    ASSERT_TRUE(fs.unmount().has_value());
  }
  const std::vector<std::uint8_t> before = stream_.bytes();
  {
    auto fs = mount();
    // The new content goes beside the old one: one byte more than the free
    // clusters hold is refused, however much the old file frees afterwards.
    const auto refused = fs.root_dir().write_file(
        "CONFIG.TXT", std::vector<std::uint8_t>(free_bytes + 1, 2));
    EXPECT_EQ(refused.error().kind, ErrorKind::kNoSpace);
    EXPECT_EQ(refused.error().text,
              "the volume has no room for the new content of \"CONFIG.TXT\" beside the "
              "old content");
    EXPECT_EQ(fs.root_dir()
                  .write_file("new.txt", std::vector<std::uint8_t>(free_bytes + 1, 3))
                  .error()
                  .kind,
              ErrorKind::kNoSpace);
  }  // dropped without unmounting: the fallback flush must have nothing to write
  EXPECT_EQ(stream_.bytes(), before);

  auto fs = mount();
  EXPECT_EQ(fs.root_dir().open_file("new.txt").error().kind, ErrorKind::kNotFound);
  const auto fits = std::vector<std::uint8_t>(free_bytes, 5);
  ASSERT_TRUE(fs.root_dir().write_file("config.txt", fits).has_value());
  auto file = fs.root_dir().open_file("config.txt").value();
  std::vector<std::uint8_t> back(fits.size());
  ASSERT_TRUE(file.read_exact(back).has_value());
  EXPECT_EQ(back, fits);
}

TEST_F(FileTest, OpenFile_ReportsMissingFilesAsNotFoundOnly) {
  auto fs = mount();
  const auto missing = fs.root_dir().open_file("absent.txt");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, ErrorKind::kNotFound);
  EXPECT_EQ(missing.error().text, "the root directory has no file named \"absent.txt\"");
  for (const char* bad : {"", "a/b", "..", "trailing.", "x\\y", "tab\tname"}) {
    const auto opened = fs.root_dir().open_file(bad);
    ASSERT_FALSE(opened.has_value()) << bad;
    EXPECT_EQ(opened.error().kind, ErrorKind::kInvalidInput) << bad;
  }
  EXPECT_EQ(fs.root_dir().open_file(std::string(256, 'a')).error().kind,
            ErrorKind::kInvalidInput);
  // The label entry is not a file.
  EXPECT_EQ(fs.root_dir().open_file("MEMORY").error().kind, ErrorKind::kNotFound);
}

TEST_F(FileTest, CreateFile_OpensAnExistingFileInsteadOfDuplicatingIt) {
  auto fs = mount();
  ASSERT_TRUE(fs.root_dir()
                  .create_file("Config.TXT")
                  .value()
                  .write(pattern_bytes(9, 1))
                  .has_value());
  auto again = fs.root_dir().create_file("config.txt").value();
  EXPECT_EQ(again.size(), 9u);
  EXPECT_EQ(fs.root_dir().list().value().size(), 1u);
}

TEST_F(FileTest, ModifiedFile_CarriesTheClockTime) {
  const FixedClock clock(fatfs::DateTime{2031, 7, 14, 9, 26, 54});
  fatfs::MountOptions options;
  options.clock = &clock;
  {
    auto fs = fatfs::FileSystem::mount(stream_, options).value();
    ASSERT_TRUE(fs.root_dir()
                    .create_file("stamp")
                    .value()
                    .write(pattern_bytes(3, 1))
                    .has_value());
  }  // dropped without unmount: the destructor still writes the metadata
  auto fs = mount();
  const auto listing = fs.root_dir().list().value();
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing[0].size, 3u);
  EXPECT_EQ(listing[0].modified.year, 2031);
  EXPECT_EQ(listing[0].modified.month, 7);
  EXPECT_EQ(listing[0].modified.day, 14);
  EXPECT_EQ(listing[0].modified.hour, 9);
  EXPECT_EQ(listing[0].modified.minute, 26);
  EXPECT_EQ(listing[0].modified.second, 54);
}

TEST_F(FileTest, ReadOnlySession_LeavesTheVolumeUntouched) {
  {
    auto fs = mount();
    ASSERT_TRUE(fs.root_dir()
                    .create_file("r.txt")
                    .value()
                    .write(pattern_bytes(2000, 5))
                    .has_value());
    ASSERT_TRUE(fs.unmount().has_value());
  }
  const std::vector<std::uint8_t> before = stream_.bytes();
  FaultyStream counting(stream_);
  {
    auto fs = fatfs::FileSystem::mount(counting).value();
    auto file = fs.root_dir().open_file("R.TXT").value();
    std::vector<std::uint8_t> back(2000);
    ASSERT_TRUE(file.read_exact(back).has_value());
  }
  EXPECT_EQ(counting.writes(), 0);
  EXPECT_TRUE(stream_.bytes() == before);
}

TEST_F(FileTest, FileAfterUnmount_FailsInsteadOfTouchingFreedState) {
  auto fs = mount();
  auto file = fs.root_dir().create_file("late").value();
  auto root = fs.root_dir();
  ASSERT_TRUE(fs.unmount().has_value());
  EXPECT_EQ(file.write(pattern_bytes(5, 1)).error().kind, ErrorKind::kInvalidInput);
  EXPECT_EQ(root.open_file("late").error().kind, ErrorKind::kInvalidInput);
}

TEST_F(FileTest, StreamFailures_AreReportedAsIoErrors) {
  FaultyStream faulty(stream_);
  auto fs = fatfs::FileSystem::mount(faulty).value();
  auto file = fs.root_dir().create_file("doomed").value();
  faulty.fail_writes_after(0);
  const auto written = file.write(pattern_bytes(4000, 1));
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, ErrorKind::kIo);
  EXPECT_EQ(written.error().text, "injected write failure");
  EXPECT_EQ(fs.unmount().error().kind, ErrorKind::kIo);

  FaultyStream failing_reads(stream_);
  failing_reads.fail_reads_after(0);
  EXPECT_EQ(fatfs::FileSystem::mount(failing_reads).error().kind, ErrorKind::kIo);
}

TEST(FileSystemMount, UnknownFreeCount_IsRecountedWhenTheVolumeChanges) {
  fatfs::MemoryStream stream(formatted_volume());
  const std::uint32_t free_before = recorded_free_count(stream);
  fatfs::store_le32(stream.bytes(), 512 + 488, 0xFFFFFFFF);
  {
    auto fs = fatfs::FileSystem::mount(stream).value();
    ASSERT_TRUE(
        fs.root_dir().create_file("x").value().write(pattern_bytes(1500, 1)).has_value());
    ASSERT_TRUE(fs.unmount().has_value());
  }
  EXPECT_EQ(recorded_free_count(stream), free_before - 3);
}

}  // namespace
}  // namespace fatfs_test
