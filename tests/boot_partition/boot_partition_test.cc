// Partition location, the bounded partition stream, boot files and recovery
// on the fault-injecting device: structural faults refused with their
// messages and nothing written, the all-or-nothing boot-file write, and what
// a boot-file replacement costs a 4096-byte-sector disk.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <iostream>
#include <numeric>

#include "boot_partition/boot_files.h"
#include "boot_partition/bounded_partition.h"
#include "boot_partition/fat32_recovery.h"
#include "boot_partition/partition_locator.h"
#include "support/fault_injecting_device.h"

namespace ravik {
namespace {

using testing::CallKind;
using testing::FakeDisk;
using testing::FaultInjectingDevice;

constexpr std::uint64_t kMiB = 1'048'576;

void put_u32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void put_u64(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint64_t value) {
  put_u32(bytes, at, static_cast<std::uint32_t>(value));
  put_u32(bytes, at + 4, static_cast<std::uint32_t>(value >> 32));
}

void put_mbr_entry(FakeDisk& disk, int entry, std::uint8_t type, std::uint32_t first,
                   std::uint32_t count) {
  const std::size_t at = 446 + 16 * static_cast<std::size_t>(entry);
  disk.bytes[at + 4] = type;
  put_u32(disk.bytes, at + 8, first);
  put_u32(disk.bytes, at + 12, count);
  disk.bytes[510] = 0x55;
  disk.bytes[511] = 0xAA;
}

// A protective MBR and a GPT for `sector`-byte LBAs whose array (at LBA 2)
// has `entries` entries of 128 bytes; entry i + 1 spans `ranges[i]` (first
// and last LBA).
void put_gpt(FakeDisk& disk, std::uint32_t entries,
             const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges,
             std::size_t sector = 512) {
  put_mbr_entry(disk, 0, 0xEE, 1, 0xFFFFFFFF);
  std::vector<std::uint8_t> array(std::uint64_t{entries} * 128, 0);
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (ranges[i].first == 0) continue;  // an unused entry
    array[i * 128] = 0xAF;               // any non-zero type GUID
    put_u64(array, i * 128 + 32, ranges[i].first);
    put_u64(array, i * 128 + 40, ranges[i].second);
  }
  std::vector<std::uint8_t> header(92, 0);
  std::memcpy(header.data(), "EFI PART", 8);
  put_u32(header, 12, 92);
  put_u64(header, 72, 2);
  put_u32(header, 80, entries);
  put_u32(header, 84, 128);
  const std::size_t stored =
      std::min<std::size_t>(array.size(), disk.bytes.size() - 2 * sector);
  put_u32(header, 88,
          static_cast<std::uint32_t>(
              crc32(0, array.data(), static_cast<uInt>(array.size()))));
  put_u32(header, 16, static_cast<std::uint32_t>(crc32(0, header.data(), 92)));
  std::copy(header.begin(), header.end(),
            disk.bytes.begin() + static_cast<std::ptrdiff_t>(sector));
  std::copy(array.begin(), array.begin() + static_cast<std::ptrdiff_t>(stored),
            disk.bytes.begin() + static_cast<std::ptrdiff_t>(2 * sector));
}

struct FaultCase {
  const char* name;
  std::function<void(FakeDisk&)> damage;
  const char* message;
};

TEST(LocatePartitionTest, StructuralFaults_RefusedWithTheirMessage_NothingWritten) {
  const std::vector<FaultCase> cases = {
      {"bad signature",
       [](FakeDisk& d) {
         put_mbr_entry(d, 0, 0x0C, 2048, 4096);
         d.bytes[511] = 0xAB;
       },
       "The held target does not contain a valid MBR signature."},
      {"type 0x07 before a FAT entry 2",
       [](FakeDisk& d) {
         put_mbr_entry(d, 0, 0x07, 2048, 4096);
         put_mbr_entry(d, 1, 0x0C, 8192, 4096);
       },
       "Partition 1 is not a supported FAT boot partition."},
      {"starts at sector 0", [](FakeDisk& d) { put_mbr_entry(d, 0, 0x0C, 0, 4096); },
       "Partition 1 has an empty sector range."},
      {"beyond the capacity",
       [](FakeDisk& d) { put_mbr_entry(d, 0, 0x0E, 2048, 20480 - 2048 + 1); },
       "Partition 1 extends beyond the held target capacity."},
      {"no GPT behind a protective MBR",
       [](FakeDisk& d) { put_mbr_entry(d, 0, 0xEE, 1, 100); },
       "The protective MBR is not followed by a valid GPT header."},
      {"GPT header checksum",
       [](FakeDisk& d) {
         put_gpt(d, 128, {{2048, 4095}});
         d.bytes[512 + 80] ^= 1;
       },
       "The GPT header checksum is invalid."},
      {"GPT entry 1 unused",
       [](FakeDisk& d) {
         put_gpt(d, 128, {{0, 0}, {2048, 4095}});
       },
       "Partition 1 is unused in the GPT."},
      {"GPT entry beyond the capacity",
       [](FakeDisk& d) {
         put_gpt(d, 128, {{2048, 20480}});
       },
       "Partition 1 extends beyond the held target capacity."},
      {"GPT array over 16 MiB",
       [](FakeDisk& d) {
         put_gpt(d, 131'073, {{2048, 4095}});
       },
       "The GPT partition-entry array exceeds the safety bound."},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto disk = std::make_shared<FakeDisk>(10 * kMiB);
    c.damage(*disk);
    FaultInjectingDevice device(disk);
    auto located = locate_partition(device, device.capacity(), 1);
    ASSERT_FALSE(located);
    EXPECT_EQ(located.error().code(), codes::kBootCheckFailed);
    EXPECT_EQ(located.error().message(), c.message);
    EXPECT_TRUE(disk->writes.empty());
  }
}

// Tables count in the device's blocks: on a 4096-byte-block disk the GPT
// header is at byte 4096 and LBA 256 is byte 1 MiB.
TEST(LocatePartitionTest, MbrAndGpt_CountInDeviceBlocks_AlignedReadsWholeBlocks) {
  for (const bool aligned : {true, false}) {
    SCOPED_TRACE(aligned ? "aligned" : "unaligned");
    auto disk = std::make_shared<FakeDisk>(10 * kMiB);
    put_mbr_entry(*disk, 0, 0x0C, 256, 512);
    disk->logical_block_size = 4096;
    disk->requires_aligned_io = aligned;
    FaultInjectingDevice device(disk);
    auto located = locate_partition(device, device.capacity(), 1);
    ASSERT_TRUE(located) << located.error();
    EXPECT_EQ(*located, (PartitionRange{kMiB, 2 * kMiB}));
    ASSERT_EQ(disk->reads.size(), 1U);
    EXPECT_EQ(disk->reads[0].length, aligned ? 4096U : 512U);
    put_mbr_entry(*disk, 0, 0x0C, 256, 2305);  // 10 MiB + 4 KiB: one block too many
    located = locate_partition(device, device.capacity(), 1);
    ASSERT_FALSE(located);
    EXPECT_EQ(located.error().message(),
              "Partition 1 extends beyond the held target capacity.");

    auto gpt4k = std::make_shared<FakeDisk>(10 * kMiB);
    put_gpt(*gpt4k, 128, {{256, 767}}, 4096);
    gpt4k->logical_block_size = 4096;
    gpt4k->requires_aligned_io = aligned;
    FaultInjectingDevice gpt4k_device(gpt4k);
    located = locate_partition(gpt4k_device, gpt4k_device.capacity(), 1);
    ASSERT_TRUE(located) << located.error();
    EXPECT_EQ(*located, (PartitionRange{kMiB, 2 * kMiB}));
    // A GPT laid out for 512-byte sectors is not a GPT of this disk.
    auto gpt512 = std::make_shared<FakeDisk>(10 * kMiB);
    put_gpt(*gpt512, 128, {{2048, 4095}});
    gpt512->logical_block_size = 4096;
    gpt512->requires_aligned_io = aligned;
    FaultInjectingDevice gpt512_device(gpt512);
    located = locate_partition(gpt512_device, gpt512_device.capacity(), 1);
    ASSERT_FALSE(located);
    EXPECT_EQ(located.error().message(),
              "The protective MBR is not followed by a valid GPT header.");
    EXPECT_TRUE(disk->writes.empty() && gpt4k->writes.empty() && gpt512->writes.empty());
  }

  auto gpt = std::make_shared<FakeDisk>(10 * kMiB);
  put_gpt(*gpt, 128, {{2049, 4096}});
  FaultInjectingDevice gpt_device(gpt);
  auto located = locate_partition(gpt_device, gpt_device.capacity(), 1);
  ASSERT_TRUE(located) << located.error();
  EXPECT_EQ(*located, (PartitionRange{2049 * 512, 2048 * 512}));
  // Located, but not usable on a 4096-byte aligned disk.
  gpt->logical_block_size = 4096;
  gpt->requires_aligned_io = true;
  auto partition = BoundedPartition::create(gpt_device, *located);
  ASSERT_FALSE(partition);
  EXPECT_EQ(partition.error().message(),
            "The FAT partition is not aligned to the held target's logical block size.");
}

TEST(BoundedPartitionTest, WritePastTheEnd_FailsWhole_CacheReachesDeviceOnFlushOnly) {
  auto disk = std::make_shared<FakeDisk>(4 * kMiB, 0x11);
  disk->logical_block_size = 4096;
  disk->requires_aligned_io = true;
  FaultInjectingDevice device(disk);
  auto partition = BoundedPartition::create(device, {kMiB, kMiB});
  ASSERT_TRUE(partition) << partition.error();
  ASSERT_TRUE(partition->seek(-10, fatfs::SeekFrom::kEnd));
  const std::vector<std::uint8_t> data(11, 0xAB);
  auto crossing = partition->write(data);
  ASSERT_FALSE(crossing);
  EXPECT_EQ(crossing.error().text, "FAT write exceeds the selected partition");
  EXPECT_FALSE(partition->seek(1, fatfs::SeekFrom::kEnd));

  ASSERT_TRUE(partition->seek(100, fatfs::SeekFrom::kStart));
  ASSERT_TRUE(partition->write(std::span(data).first(10)));
  EXPECT_TRUE(disk->writes.empty());
  std::vector<std::uint8_t> back(12);
  ASSERT_TRUE(partition->seek(99, fatfs::SeekFrom::kStart));
  ASSERT_TRUE(partition->read(back));
  EXPECT_EQ(back.front(), 0x11);
  EXPECT_EQ(back[1], 0xAB);
  EXPECT_EQ(back.back(), 0x11);
  ASSERT_TRUE(partition->flush());
  ASSERT_EQ(disk->writes.size(), 1U);
  EXPECT_EQ(disk->writes[0].offset, kMiB);
  EXPECT_EQ(disk->writes[0].length, 4096U);
  EXPECT_EQ(disk->bytes[kMiB + 100], 0xAB);
  EXPECT_EQ(disk->bytes[kMiB + 110], 0x11);
}

std::vector<std::uint8_t> pattern(std::size_t size, int seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>(i * seed + i / 509);
  return bytes;
}

// The smallest disk with 4096-byte blocks that recovery accepts: 1 MiB, then
// 32 reserved sectors, two FATs of 64 sectors and 65,525 clusters of one
// 4096-byte sector.
constexpr std::uint64_t kSmallest4096Recovery = kMiB + (32 + 2 * 64 + 65'525) * 4096;

// A recovered disk (FAT32 with the smallest clusters) on an aligned device
// with `block_size`-byte blocks.
std::shared_ptr<FakeDisk> recovered_disk(std::uint64_t size,
                                         std::uint64_t block_size = 4096) {
  auto disk = std::make_shared<FakeDisk>(size);
  disk->logical_block_size = block_size;
  disk->requires_aligned_io = block_size != 512;
  FaultInjectingDevice device(disk);
  auto recovered = reformat_fat32(device, "BOOT");
  EXPECT_TRUE(recovered) << recovered.error();
  return disk;
}

std::uint32_t u32_of(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | bytes[at + static_cast<std::size_t>(i)];
  return value;
}

TEST(Fat32RecoveryTest, On4096ByteBlocks_TableAndVolumeCountInBlocks) {
  auto disk = std::make_shared<FakeDisk>(kSmallest4096Recovery, 0x5A);
  disk->logical_block_size = 4096;
  disk->requires_aligned_io = true;
  FaultInjectingDevice device(disk);
  // Refused before any write: one block too small for FAT32 with 4096-byte
  // sectors, and blocks larger than a FAT sector can be.
  disk->reported_capacity = kSmallest4096Recovery - 4096;
  auto refused = reformat_fat32(device, "BOOT");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code(), codes::kDeviceTooSmall);
  disk->reported_capacity.reset();
  disk->logical_block_size = 8192;
  refused = reformat_fat32(device, "BOOT");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code(), codes::kToolMissing);
  EXPECT_TRUE(disk->writes.empty());

  disk->logical_block_size = 4096;
  auto recovered = reformat_fat32(device, "BOOT");
  ASSERT_TRUE(recovered) << recovered.error();
  const std::uint32_t sectors = kSmallest4096Recovery / 4096 - 256;
  EXPECT_EQ(u32_of(disk->bytes, 454), 256U);
  EXPECT_EQ(u32_of(disk->bytes, 458), sectors);
  const std::size_t boot = kMiB;
  EXPECT_EQ(disk->bytes[boot + 11] | disk->bytes[boot + 12] << 8, 4096);
  EXPECT_EQ(u32_of(disk->bytes, boot + 28), 256U);  // hidden sectors
  EXPECT_EQ(u32_of(disk->bytes, boot + 32), sectors);
  auto range = locate_partition(device, device.capacity(), 1);
  ASSERT_TRUE(range) << range.error();
  EXPECT_EQ(*range, (PartitionRange{kMiB, std::uint64_t{sectors} * 4096}));
  ASSERT_TRUE(write_root_file(device, *range, "cmdline.txt", pattern(6000, 3)));
  auto back = read_root_file(device, *range, "CMDLINE.TXT", kMaxBootFileBytes);
  ASSERT_TRUE(back && *back) << (back ? "missing" : back.error().message());
  EXPECT_EQ(**back, pattern(6000, 3));
}

TEST(BootFilesTest, Replacement_WritesLittleMoreThanTheFile) {
  for (const std::uint64_t block : {512U, 4096U}) {
    auto disk = recovered_disk(block == 4096 ? kSmallest4096Recovery : 40 * kMiB, block);
    FaultInjectingDevice device(disk);
    auto range = locate_partition(device, device.capacity(), 1);
    ASSERT_TRUE(range) << range.error();
    for (const std::size_t size : {std::size_t{1024}, std::size_t{kMiB}}) {
      ASSERT_TRUE(write_root_file(device, *range, "config.txt", pattern(size, 3)));
      disk->writes.clear();
      disk->calls.clear();
      const auto replacement = pattern(size, 5);
      ASSERT_TRUE(write_root_file(device, *range, "config.txt", replacement));
      const std::uint64_t bytes = std::accumulate(
          disk->writes.begin(), disk->writes.end(), std::uint64_t{0},
          [](std::uint64_t sum, const testing::Transfer& t) { return sum + t.length; });
      std::cout << block << "-byte blocks, replacing a " << size
                << "-byte file: " << bytes << " bytes in " << disk->writes.size()
                << " device writes, " << disk->calls.size() << " device calls\n";
      EXPECT_LE(bytes, size + kMiB / 4);
      auto back = read_root_file(device, *range, "CONFIG.TXT", kMaxBootFileBytes);
      ASSERT_TRUE(back && *back) << (back ? "missing" : back.error().message());
      EXPECT_EQ(**back, replacement);
    }
  }
}

TEST(BootFilesTest, WriteThatDoesNotFit_LeavesThePartitionAsItWas) {
  auto disk = recovered_disk(36 * kMiB, 512);
  FaultInjectingDevice device(disk);
  auto range = locate_partition(device, device.capacity(), 1);
  ASSERT_TRUE(range) << range.error();
  const auto mib = pattern(kMiB, 7);
  Result<void> written;
  std::vector<std::uint8_t> before;
  int files = -1;
  do {
    ++files;
    ASSERT_LT(files, 40);
    before = disk->bytes;
    written = write_root_file(device, *range, "f" + std::to_string(files) + ".bin", mib);
  } while (written);
  EXPECT_EQ(disk->bytes, before);
  EXPECT_EQ(written.error().code(), codes::kBootCheckFailed);
  EXPECT_TRUE(written.error().message().starts_with("Could not write the boot file: "))
      << written.error().message();
  auto missing =
      read_root_file(device, *range, "f" + std::to_string(files) + ".bin", kMiB);
  ASSERT_TRUE(missing);
  EXPECT_FALSE(*missing);
  ASSERT_TRUE(write_root_file(device, *range, "f0.bin", pattern(10, 1)));
  const std::vector<std::uint8_t> shrunk = disk->bytes;
  ASSERT_FALSE(write_root_file(device, *range, "f0.bin", pattern(2 * kMiB, 9)));
  EXPECT_EQ(disk->bytes, shrunk);
  auto old = read_root_file(device, *range, "f0.bin", kMiB);
  ASSERT_TRUE(old && *old);
  EXPECT_EQ(**old, pattern(10, 1));
}

// A recovered 512-byte-sector disk holding config.txt (three clusters after
// a 1500-byte write) and b.txt, with the means to damage their chains.
struct CrossLinkVolume {
  std::shared_ptr<FakeDisk> disk = recovered_disk(40 * kMiB, 512);
  PartitionRange range{kMiB, 0};
  std::uint64_t fat = 0;  // byte offset of the first FAT on the disk
  std::uint64_t fat_bytes = 0;
  std::uint32_t root = 0;
  std::uint64_t data = 0;

  CrossLinkVolume() {
    FaultInjectingDevice device(disk);
    range = *locate_partition(device, device.capacity(), 1);
    EXPECT_TRUE(write_root_file(device, range, "b.txt", pattern(1000, 2)));
    EXPECT_TRUE(write_root_file(device, range, "config.txt", pattern(1500, 3)));
    const auto& b = disk->bytes;
    const std::uint64_t boot = range.offset;
    fat = boot + 512ULL * (b[boot + 14] | b[boot + 15] << 8);
    fat_bytes = 512ULL * get(boot + 36);
    root = get(boot + 44);
    data = fat + 2 * fat_bytes;
  }
  std::uint32_t get(std::uint64_t at) const {
    std::uint32_t value = 0;
    std::memcpy(&value, disk->bytes.data() + at, 4);
    return value;
  }
  void set_fat(std::uint32_t cluster, std::uint32_t value) {
    for (int copy = 0; copy < 2; ++copy) {
      std::memcpy(disk->bytes.data() + fat + copy * fat_bytes + 4 * cluster, &value, 4);
    }
  }
  // The byte offset of the short entry named `name` (11 bytes, 8.3) in the
  // root's first cluster, and its first cluster.
  std::uint64_t entry(const char* name) const {
    for (std::uint64_t at = data; at < data + 512; at += 32) {
      if (std::memcmp(disk->bytes.data() + at, name, 11) == 0) return at;
    }
    ADD_FAILURE() << name << " not found";
    return data;
  }
  std::uint32_t first(const char* name) const {
    const std::uint64_t at = entry(name);
    const auto& b = disk->bytes;
    return static_cast<std::uint32_t>(b[at + 26] | b[at + 27] << 8 | b[at + 20] << 16 |
                                      b[at + 21] << 24);
  }
  std::uint32_t last_cluster(const char* name) const {
    std::uint32_t cluster = first(name);
    for (std::uint32_t next = 0;
         (next = get(fat + 4 * cluster) & 0x0FFFFFFF) < 0x0FFFFFF8;)
      cluster = next;
    return cluster;
  }
  // A 32-byte entry `name` (11 bytes, 8.3) at byte `at`.
  void put_entry(std::uint64_t at, const char* name, std::uint8_t attributes,
                 std::uint32_t cluster, std::uint32_t size) {
    std::uint8_t* e = disk->bytes.data() + at;
    std::memset(e, 0, 32);
    std::memcpy(e, name, 11);
    e[11] = attributes;
    e[20] = static_cast<std::uint8_t>(cluster >> 16);
    e[21] = static_cast<std::uint8_t>(cluster >> 24);
    e[26] = static_cast<std::uint8_t>(cluster);
    e[27] = static_cast<std::uint8_t>(cluster >> 8);
    std::memcpy(e + 28, &size, 4);
  }
  // Adds directory OVERLAYS to the root, in a free cluster of its own, and
  // returns the byte offset of that cluster.
  std::uint64_t add_overlays() {
    constexpr std::uint32_t kDirectory = 1000;  // far beyond the files
    set_fat(kDirectory, 0x0FFFFFFF);
    const std::uint64_t dir = data + 512ULL * (kDirectory - 2);
    put_entry(dir, ".          ", 0x10, kDirectory, 0);
    put_entry(dir + 32, "..         ", 0x10, 0, 0);
    std::uint64_t at = data;
    while (disk->bytes[at] != 0) at += 32;
    put_entry(at, "OVERLAYS   ", 0x10, kDirectory, 0);
    return dir;
  }
};

TEST(BootFilesTest, CrossLinkedOrBrokenChain_RefusedWithNothingWritten) {
  const struct {
    const char* name;
    std::function<void(CrossLinkVolume&)> damage;
    const char* text;
  } cases[] = {
      {"chain ends in the root directory",
       [](CrossLinkVolume& v) { v.set_fat(v.first("CONFIG  TXT") + 1, v.root); },
       "cross-linked with the root directory"},
      {"file starts in another file's last cluster",
       [](CrossLinkVolume& v) {
         const std::uint32_t last = v.first("B       TXT") + 1;
         const std::uint64_t at = v.entry("CONFIG  TXT");
         v.disk->bytes[at + 26] = static_cast<std::uint8_t>(last);
         v.disk->bytes[at + 27] = static_cast<std::uint8_t>(last >> 8);
         v.disk->bytes[at + 28] = 100;  // one cluster's worth
         v.disk->bytes[at + 29] = 0;
       },
       "cross-linked with another root entry"},
      {"free link", [](CrossLinkVolume& v) { v.set_fat(v.first("CONFIG  TXT"), 0); },
       "runs into a free cluster"},
      {"reserved link", [](CrossLinkVolume& v) { v.set_fat(v.first("CONFIG  TXT"), 1); },
       "out of range"},
      {"loop",
       [](CrossLinkVolume& v) {
         const std::uint32_t first = v.first("CONFIG  TXT");
         v.set_fat(first + 1, first);
       },
       "loop"},
      {"overlays/sub.bin starts in the file's last cluster",
       [](CrossLinkVolume& v) {
         v.put_entry(v.add_overlays() + 64, "SUB     BIN", 0x20,
                     v.last_cluster("CONFIG  TXT"), 100);
       },
       "cross-linked with an entry of a subdirectory"},
      {"a directory inside itself",
       [](CrossLinkVolume& v) {
         const std::uint64_t dir = v.add_overlays();
         v.put_entry(dir + 64, "AGAIN      ", 0x10, v.first("OVERLAYS   "), 0);
       },
       "contains itself"},
  };
  CrossLinkVolume volume;
  const std::vector<std::uint8_t> sound = volume.disk->bytes;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    volume.disk->bytes = sound;
    c.damage(volume);
    const std::vector<std::uint8_t> before = volume.disk->bytes;
    volume.disk->writes.clear();
    FaultInjectingDevice device(volume.disk);
    auto written = write_root_file(device, volume.range, "config.txt", pattern(4000, 4));
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().code(), codes::kBootCheckFailed);
    EXPECT_NE(written.error().message().find(c.text), std::string::npos)
        << written.error().message();
    EXPECT_TRUE(volume.disk->writes.empty());
    EXPECT_EQ(volume.disk->bytes, before);
  }
}

TEST(BootFilesTest, MediumThatKeepsNothing_RefusedBeforeTheCommitOldFileKept) {
  CrossLinkVolume volume;
  volume.disk->writes_store_zeros = true;
  FaultInjectingDevice device(volume.disk);
  auto written = write_root_file(device, volume.range, "config.txt", pattern(4000, 4));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().code(), codes::kBootCheckFailed);
  EXPECT_NE(written.error().message().find("read back"), std::string::npos)
      << written.error().message();
  volume.disk->writes_store_zeros = false;
  auto back = read_root_file(device, volume.range, "config.txt", kMiB);
  ASSERT_TRUE(back && *back);
  EXPECT_EQ(**back, pattern(1500, 3));
}

TEST(BootFilesTest, CancelAtEveryDeviceCall_OldFileUntilTheCommitPointThenNew) {
  CrossLinkVolume volume;
  const auto old_content = pattern(1500, 3);
  const auto new_content = pattern(3000, 6);
  const std::vector<std::uint8_t> before = volume.disk->bytes;
  std::size_t total = 0;
  {
    auto clean = std::make_shared<FakeDisk>(0);
    clean->bytes = before;
    FaultInjectingDevice device(clean);
    ASSERT_TRUE(write_root_file(device, volume.range, "config.txt", new_content));
    total = clean->calls.size();
  }
  bool committed = false;
  int canceled = 0;
  auto disk = std::make_shared<FakeDisk>(0);
  disk->bytes = before;
  for (std::size_t at = 1; at <= total; ++at) {
    SCOPED_TRACE("cancel at call " + std::to_string(at));
    for (const testing::Transfer& t : disk->writes) {
      std::memcpy(disk->bytes.data() + t.offset, before.data() + t.offset, t.length);
    }
    disk->writes.clear();
    disk->calls.clear();
    std::atomic<bool> flag = false;
    FakeDisk* raw = disk.get();
    disk->on_call = [raw, &flag, at](CallKind) {
      if (raw->calls.size() == at) flag = true;
    };
    FaultInjectingDevice device(disk);
    auto written =
        write_root_file(device, volume.range, "config.txt", new_content, &flag);
    disk->on_call = nullptr;
    auto back = read_root_file(device, volume.range, "config.txt", kMiB);
    ASSERT_TRUE(back && *back);
    if (written) {
      committed = true;
      EXPECT_EQ(**back, new_content);
      continue;
    }
    // Once a cancel came too late to stop the commit, every later one does.
    EXPECT_FALSE(committed);
    ++canceled;
    EXPECT_EQ(written.error().code(), codes::kCanceled);
    EXPECT_EQ(written.error().message(), "The transaction was canceled.");
    EXPECT_EQ(**back, old_content);
  }
  EXPECT_TRUE(committed);
  EXPECT_GT(canceled, 3);
}

}  // namespace
}  // namespace ravik
