// A boot-file replacement under power cuts and failing writes. Each
// replacement (1 KiB -> 1 MiB, 1 MiB -> 1 KiB, same size, a new file) runs
// once on the fault-injecting device over a volume mkfs.fat made, with its
// device writes recorded. Every prefix of those writes, and each write torn
// at a block boundary, is then replayed in memory and checked: the library
// and mtools see the old file or the new one exactly, the other files
// intact, and fsck.fat finds nothing worse than clusters no entry refers to.
// The same replacement with one failing device write or sync at each step
// answers an error and leaves the old file, unless the failure came after
// the commit point (the new file is then whole).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "../fatfs/fat_test_support.h"
#include "boot_partition/boot_files.h"
#include "support/fault_injecting_device.h"

namespace ravik {
namespace {

using fatfs_test::quote;
using fatfs_test::run;
using testing::CallKind;
using testing::FakeDisk;
using testing::FaultInjectingDevice;

constexpr std::size_t kOneKiB = 1024;
constexpr std::size_t kOneMiB = 1024 * 1024;

struct Geometry {
  int fat_bits;
  std::uint64_t block;  // the device's logical block and the FAT's sector size
  std::uint64_t volume_bytes;
  int sectors_per_cluster;
  // mtools refuses FAT32 volumes under 65,525 clusters; with 4096-byte
  // clusters that would take a 256 MiB volume per sweep.
  bool mtools = true;
};

void PrintTo(const Geometry& g, std::ostream* os) {
  *os << "FAT" << g.fat_bits << " on " << g.block << "-byte sectors";
}

struct Change {
  const char* name;
  std::size_t old_size;  // 0: the file does not exist yet
  std::size_t new_size;
  const char* file = "config.txt";
};

// 15 long-name entries and the short one: one whole 512-byte unit, which
// the two entries of other.bin leave no room for in the first unit of the
// root (a FAT32 root of one 512-byte cluster must grow).
constexpr char kLongName[] =
    "a-boot-file-whose-name-takes-fifteen-long-name-entries-and-a-short-one-so-that-"
    "they-fill-one-sector-of-the-root-directory-exactly-and-cannot-follow-the-two-"
    "entries-of-other.bin-in-the-first.txt";

constexpr Change kChanges[] = {
    {"1 KiB to 1 MiB", kOneKiB, kOneMiB},
    {"1 MiB to 1 KiB", kOneMiB, kOneKiB},
    {"same size", 5000, 5000},
    {"new file", 0, 3000},
    {"new file, a name of one sector's entries", 0, 100, kLongName},
};

struct WriteRecord {
  std::uint64_t offset;
  std::vector<std::uint8_t> bytes;
};

// Lines of `fsck.fat -n` that a cut may cause and `fsck.fat -a` mends
// without touching a file: clusters no entry refers to, a FAT copy that
// differs from the first, FSInfo hints that are off.
bool fsck_finds_at_most_lost_clusters(const std::string& image, std::string& output) {
  const auto result = run("fsck.fat -n " + quote(image));
  output = result.output;
  std::istringstream lines(result.output);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.starts_with("fsck.fat ") || line.find(" files, ") != std::string::npos ||
        line.find("Leaving filesystem unchanged") != std::string::npos ||
        line.find("lost clusters found") != std::string::npos ||
        line.find("Reclaimed ") != std::string::npos ||
        line.find("unused clusters") != std::string::npos ||
        line.find("FATs differ") != std::string::npos ||
        line.find("Free cluster summary wrong") != std::string::npos ||
        line.find("Auto-correcting") != std::string::npos ||
        // The small FAT32 volume of 4096-byte sectors, before any change.
        line.starts_with("Warning: Filesystem is FAT32") ||
        line.starts_with("  but has only") || line.starts_with("  This may lead") ||
        line.find("Using first FAT") != std::string::npos ||
        line.find("  1) ") != std::string::npos ||
        line.find("  2) ") != std::string::npos ||
        line.find("Free cluster summary uninitialized") != std::string::npos ||
        line.find("not marked as free") != std::string::npos || line.empty()) {
      continue;
    }
    return false;
  }
  return true;
}

// The count of fsck.fat's summary line ("{image}: 2 files, ..."), or -1.
int fsck_file_count(const std::string& output) {
  const std::size_t at = output.find(" files, ");
  if (at == std::string::npos || at == 0) return -1;
  const std::size_t start = output.rfind(' ', at - 1) + 1;
  return std::atoi(output.substr(start, at - start).c_str());
}

// The image as a sparse file: the volumes are mostly zeros, and the tools
// read only what the volume uses.
void write_sparse(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  fatfs_test::make_sparse_file(path, bytes.size());
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  constexpr std::size_t kChunk = 65536;
  static const std::vector<std::uint8_t> zeros(kChunk, 0);
  for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
    const std::size_t n = std::min(kChunk, bytes.size() - at);
    if (std::memcmp(bytes.data() + at, zeros.data(), n) == 0) continue;
    ASSERT_EQ(::pwrite(fd, bytes.data() + at, n, static_cast<off_t>(at)),
              static_cast<ssize_t>(n));
  }
  ::close(fd);
}

class BootFilePowerCut : public ::testing::TestWithParam<Geometry> {
 protected:
  fatfs_test::TempDir dir_;
  std::vector<std::uint8_t> old_ = pattern(0, 1);
  std::vector<std::uint8_t> new_;
  std::string file_;  // the file the change replaces or creates
  const std::vector<std::uint8_t> other_ = pattern(3000, 9);

  static std::vector<std::uint8_t> pattern(std::size_t size, int seed) {
    return testing::pattern_bytes(size, seed);
  }

  // The volume before the change: config.txt (unless new), then other.bin.
  std::vector<std::uint8_t> make_volume(const Change& change) {
    const Geometry& g = GetParam();
    const std::string image = dir_.file("volume.img");
    fatfs_test::make_sparse_file(image, g.volume_bytes);
    EXPECT_EQ(run("mkfs.fat -F " + std::to_string(g.fat_bits) + " -S " +
                  std::to_string(g.block) + " -s " +
                  std::to_string(g.sectors_per_cluster) + " " + quote(image))
                  .status,
              0);
    old_ = pattern(change.old_size, 3);
    new_ = pattern(change.new_size, 5);
    file_ = change.file;
    if (change.old_size > 0) put(image, file_, old_);
    put(image, "other.bin", other_);
    return fatfs_test::read_local_file(image);
  }

  void put(const std::string& image, const std::string& name,
           const std::vector<std::uint8_t>& bytes) {
    if (!GetParam().mtools) {
      auto disk = disk_over(fatfs_test::read_local_file(image));
      FaultInjectingDevice device(disk);
      EXPECT_TRUE(write_root_file(device, whole(*disk), name, bytes));
      write_sparse(image, disk->bytes);
      return;
    }
    const std::string path = dir_.file("put");
    fatfs_test::write_local_file(path, bytes);
    EXPECT_EQ(run("mcopy -i " + quote(image) + " " + quote(path) + " ::" + name).status,
              0);
  }

  std::shared_ptr<FakeDisk> disk_over(const std::vector<std::uint8_t>& volume) const {
    auto disk = std::make_shared<FakeDisk>(0);
    disk->bytes = volume;
    disk->logical_block_size = GetParam().block;
    disk->requires_aligned_io = GetParam().block != 512;
    return disk;
  }

  PartitionRange whole(const FakeDisk& disk) const { return {0, disk.bytes.size()}; }

  // What the library reads of `name` on `disk`, or why it could not.
  static std::string library_view(const std::shared_ptr<FakeDisk>& disk,
                                  const std::string& name,
                                  std::optional<std::vector<std::uint8_t>>& content) {
    FaultInjectingDevice device(disk);
    auto read = read_root_file(device, {0, disk->bytes.size()}, name, 2 * kOneMiB);
    if (!read) return read.error().message();
    content = std::move(*read);
    return {};
  }

  // Old or new, whole: through the library, and through mtools on `image`.
  ::testing::AssertionResult old_or_new(const std::shared_ptr<FakeDisk>& disk,
                                        const std::string& image, bool is_new_file,
                                        bool external) const {
    std::optional<std::vector<std::uint8_t>> config;
    std::optional<std::vector<std::uint8_t>> other;
    if (auto why = library_view(disk, file_, config); !why.empty())
      return ::testing::AssertionFailure() << "library: " << why;
    if (auto why = library_view(disk, "other.bin", other); !why.empty())
      return ::testing::AssertionFailure() << "library: " << why;
    const bool old_state = is_new_file ? !config : config && *config == old_;
    if (!old_state && !(config && *config == new_)) {
      return ::testing::AssertionFailure()
             << "library: config.txt is neither old nor new ("
             << (config ? std::to_string(config->size()) + " bytes" : "absent") << ")";
    }
    if (!other || *other != other_)
      return ::testing::AssertionFailure() << "library: other.bin changed";
    if (!external) return ::testing::AssertionSuccess();
    if (GetParam().mtools) {
      const std::string seen = fatfs_test::mtools_read(image, file_);
      const std::string old_text(old_.begin(), old_.end());
      const std::string new_text(new_.begin(), new_.end());
      const bool mtools_old =
          is_new_file ? seen.starts_with("<mcopy failed") : seen == old_text;
      if (!mtools_old && seen != new_text) {
        return ::testing::AssertionFailure()
               << "mtools: config.txt is neither old nor new (" << seen.substr(0, 200)
               << ")";
      }
      if (fatfs_test::mtools_read(image, "other.bin") !=
          std::string(other_.begin(), other_.end())) {
        return ::testing::AssertionFailure() << "mtools: other.bin changed";
      }
    }
    std::string fsck;
    if (!fsck_finds_at_most_lost_clusters(image, fsck))
      return ::testing::AssertionFailure() << "fsck.fat -n:\n" << fsck;
    // Entries past the end marker are no file to mtools or the library,
    // but fsck.fat counts them.
    if (fsck_file_count(fsck) != 1 + (config ? 1 : 0))
      return ::testing::AssertionFailure() << "fsck.fat -n counts other files:\n" << fsck;
    return ::testing::AssertionSuccess();
  }
};

TEST_P(BootFilePowerCut, EveryPrefixAndTornWrite_LeavesTheOldOrTheNewFile) {
  for (const Change& change : kChanges) {
    SCOPED_TRACE(change.name);
    const std::vector<std::uint8_t> before = make_volume(change);
    auto disk = disk_over(before);
    std::vector<WriteRecord> writes;
    disk->on_call = [&](CallKind kind) {
      if (kind != CallKind::kWrite || disk->writes.size() == writes.size()) return;
      const auto& t = disk->writes.back();
      writes.push_back({t.offset, std::vector<std::uint8_t>(
                                      disk->bytes.begin() + t.offset,
                                      disk->bytes.begin() + t.offset + t.length)});
    };
    {
      FaultInjectingDevice device(disk);
      auto written = write_root_file(device, whole(*disk), file_, new_);
      ASSERT_TRUE(written) << written.error().message();
    }
    ASSERT_GE(writes.size(), 3U);

    // Replay onto the old volume, in memory and in an image file for the
    // tools, a piece at a time.
    auto replay = disk_over(before);
    const std::string image = dir_.file("replay.img");
    write_sparse(image, before);
    const int fd = ::open(image.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    int images = 0;
    auto apply = [&](std::uint64_t at, std::span<const std::uint8_t> bytes) {
      const bool changes =
          std::memcmp(replay->bytes.data() + at, bytes.data(), bytes.size()) != 0;
      std::memcpy(replay->bytes.data() + at, bytes.data(), bytes.size());
      EXPECT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)),
                static_cast<ssize_t>(bytes.size()));
      return changes;
    };
    EXPECT_TRUE(old_or_new(replay, image, change.old_size == 0, true));
    for (std::size_t i = 0; i < writes.size(); ++i) {
      const WriteRecord& w = writes[i];
      const std::uint64_t block = GetParam().block;
      const std::uint64_t blocks = w.bytes.size() / block;
      // Torn after each block of a short write; after the first, the
      // middle and the last but one block of a long (data) write.
      std::vector<std::uint64_t> cuts;
      for (std::uint64_t b = 1; b < blocks; ++b) {
        if (blocks <= 8 || b == 1 || b == blocks / 2 || b == blocks - 1)
          cuts.push_back(b * block);
      }
      cuts.push_back(w.bytes.size());
      std::uint64_t done = 0;
      for (const std::uint64_t cut : cuts) {
        SCOPED_TRACE("write " + std::to_string(i) + " of " +
                     std::to_string(writes.size()) + " at " + std::to_string(w.offset) +
                     ", cut after " + std::to_string(cut) + " of " +
                     std::to_string(w.bytes.size()));
        const bool changed =
            apply(w.offset + done, std::span(w.bytes).subspan(done, cut - done));
        done = cut;
        images += changed;
        ASSERT_TRUE(old_or_new(replay, image, change.old_size == 0, changed));
      }
    }
    ::close(fd);
    EXPECT_EQ(replay->bytes, disk->bytes);
    std::optional<std::vector<std::uint8_t>> last;
    EXPECT_EQ(library_view(replay, file_, last), "");
    EXPECT_EQ(last, new_);
    const auto fsck = run("fsck.fat -n " + quote(image));
    EXPECT_EQ(fsck.status, 0) << fsck.output;
    EXPECT_EQ(fsck.output.find("lost"), std::string::npos) << fsck.output;
    EXPECT_EQ(fsck.output.find("differ"), std::string::npos) << fsck.output;
    EXPECT_GT(images, 3);
  }
}

TEST_P(BootFilePowerCut, FailingWriteOrSyncAtEveryStep_LeavesTheOldFileOrCommits) {
  for (const Change& change : kChanges) {
    SCOPED_TRACE(change.name);
    const std::vector<std::uint8_t> before = make_volume(change);
    // A clean run: which calls are there, and which write is the commit.
    auto clean = disk_over(before);
    {
      FaultInjectingDevice device(clean);
      ASSERT_TRUE(write_root_file(device, whole(*clean), file_, new_));
    }
    // One disk for every run, put back to `before` where a run wrote: a
    // fresh copy of the volume per run would cost more than the run.
    auto disk = disk_over(before);
    int runs = 0;
    for (std::size_t at = 1; at <= clean->calls.size(); ++at) {
      const CallKind kind = clean->calls[at - 1];
      if (kind != CallKind::kWrite && kind != CallKind::kSync) continue;
      SCOPED_TRACE("failing call " + std::to_string(at));
      for (const testing::Transfer& t : disk->writes) {
        std::memcpy(disk->bytes.data() + t.offset, before.data() + t.offset, t.length);
      }
      disk->writes.clear();
      disk->calls.clear();
      disk->sync_calls = 0;
      disk->fail_sync_from_call.reset();
      disk->write_faults.clear();
      disk->on_call = nullptr;
      const std::size_t earlier = static_cast<std::size_t>(
          std::count(clean->calls.begin(), clean->calls.begin() + (at - 1), kind));
      if (kind == CallKind::kWrite) {
        // Only the write at that step fails, not an earlier one at its offset.
        disk->write_faults = {{.offset = clean->writes[earlier].offset, .times = 0}};
        FakeDisk* raw = disk.get();
        disk->on_call = [raw, earlier](CallKind) {
          if (raw->writes.size() == earlier) raw->write_faults[0].times = 1;
        };
      } else {
        disk->fail_sync_from_call = static_cast<int>(earlier + 1);
      }
      ++runs;
      auto written = [&] {
        FaultInjectingDevice device(disk);
        return write_root_file(device, whole(*disk), file_, new_);
      }();
      disk->on_call = nullptr;
      std::optional<std::vector<std::uint8_t>> config;
      ASSERT_EQ(library_view(disk, file_, config), "");
      if (config && *config == new_) {
        // At or past the commit point: the entry's flush or the release of
        // the old chain failed, and the answer says so.
        ASSERT_FALSE(written);
        const std::string& message = written.error().message();
        EXPECT_TRUE(message.find("new content is in place") != std::string::npos ||
                    message.find("may or may not") != std::string::npos)
            << message;
        continue;
      }
      ASSERT_FALSE(written);
      EXPECT_EQ(written.error().code(), codes::kBootCheckFailed);
      if (change.old_size == 0) {
        EXPECT_FALSE(config);
      } else {
        EXPECT_EQ(config, old_);
      }
    }
    EXPECT_GE(runs, 5);
  }
}

INSTANTIATE_TEST_SUITE_P(Volumes, BootFilePowerCut,
                         ::testing::Values(Geometry{12, 512, 4 * kOneMiB, 4},
                                           Geometry{16, 512, 8 * kOneMiB, 1},
                                           Geometry{32, 512, 34 * kOneMiB, 1},
                                           Geometry{12, 4096, 6 * kOneMiB, 1},
                                           Geometry{16, 4096, 20 * kOneMiB, 1},
                                           Geometry{32, 4096, 40 * kOneMiB, 1, false}),
                         [](const auto& param_info) {
                           return "Fat" + std::to_string(param_info.param.fat_bits) +
                                  "_" + std::to_string(param_info.param.block);
                         });

}  // namespace
}  // namespace ravik
