#include "fatfs/format.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <vector>

#include "fatfs/boot_sector.h"
#include "fatfs/byte_order.h"
#include "fatfs/device.h"
#include "fatfs/dir_entry.h"
#include "fatfs/fs_info.h"

namespace fatfs {
namespace {

constexpr std::uint32_t kReservedSectors = 32;
constexpr std::uint32_t kFatCount = 2;
constexpr std::uint8_t kMedia = 0xF8;
constexpr std::uint32_t kFsInfoSector = 1;
constexpr std::uint32_t kBackupBootSector = 6;
constexpr std::uint32_t kRootCluster = 2;

// Cluster size by volume size, as common formatters choose it: 512 bytes up
// to 260 MiB, 4 KiB up to 8 GiB, 8 KiB up to 16 GiB, 16 KiB up to 32 GiB and
// 32 KiB above; never less than one sector.
std::uint32_t default_sectors_per_cluster(std::uint64_t volume_bytes,
                                          std::uint32_t sector_size) {
  const std::uint64_t units = volume_bytes / 512;  // whole 512-byte units
  std::uint64_t cluster_bytes = 32768;
  if (units <= 532480) {
    cluster_bytes = 512;
  } else if (units <= 16777216) {
    cluster_bytes = 4096;
  } else if (units <= 33554432) {
    cluster_bytes = 8192;
  } else if (units <= 67108864) {
    cluster_bytes = 16384;
  }
  return static_cast<std::uint32_t>(
      std::max<std::uint64_t>(cluster_bytes / sector_size, 1));
}

bool supported_sector_size(std::uint32_t sector_size) {
  return sector_size == 512 || sector_size == 1024 || sector_size == 2048 ||
         sector_size == 4096;
}

Fat32Geometry layout_for(std::uint32_t total, std::uint32_t per_cluster,
                         std::uint32_t sector_size) {
  // The smallest FAT that still has an entry for every cluster it leaves
  // room for (plus the two reserved entries).
  const std::uint64_t entries_per_sector = sector_size / 4;
  const std::uint64_t usable = total - kReservedSectors;
  const auto fits = [&](std::uint64_t sectors) {
    if (usable <= kFatCount * sectors) return false;
    return sectors * entries_per_sector >=
           (usable - kFatCount * sectors) / per_cluster + 2;
  };
  // A closed-form bound, then down to the smallest size that still fits
  // (rounding makes the bound up to a few sectors generous).
  std::uint64_t fat_sectors =
      (usable + 2 * per_cluster + entries_per_sector * per_cluster + kFatCount - 1) /
      (entries_per_sector * per_cluster + kFatCount);
  while (fat_sectors > 1 && fits(fat_sectors - 1)) --fat_sectors;
  Fat32Geometry g;
  g.bytes_per_sector = sector_size;
  g.total_sectors = total;
  g.sectors_per_cluster = per_cluster;
  g.fat_sectors = static_cast<std::uint32_t>(fat_sectors);
  const std::uint64_t data =
      usable > kFatCount * fat_sectors ? usable - kFatCount * fat_sectors : 0;
  g.cluster_count = static_cast<std::uint32_t>(data / per_cluster);
  return g;
}

bool forbidden_label_byte(char c) {
  return c < 0x20 || c > 0x7E || (c >= 'a' && c <= 'z') ||
         std::string_view("\"*+,./:;<=>?[\\]|").find(c) != std::string_view::npos;
}

std::uint32_t default_volume_id() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  return static_cast<std::uint32_t>(ns ^ (ns >> 32));
}

std::array<std::uint8_t, kBootSectorSize> make_boot_sector(const Fat32Geometry& g,
                                                           const FormatOptions& options,
                                                           const std::string& label) {
  std::array<std::uint8_t, kBootSectorSize> s{};
  const std::array<std::uint8_t, 3> jump = {0xEB, 0x58, 0x90};
  std::memcpy(s.data(), jump.data(), jump.size());
  std::memcpy(s.data() + 3, "RAVIKFAT", 8);
  store_le16(s, 11, static_cast<std::uint16_t>(g.bytes_per_sector));
  s[13] = static_cast<std::uint8_t>(g.sectors_per_cluster);
  store_le16(s, 14, kReservedSectors);
  s[16] = kFatCount;
  s[21] = kMedia;
  store_le16(s, 24, 63);  // geometry hints for BIOSes that still ask
  store_le16(s, 26, 255);
  store_le32(s, 28, options.hidden_sectors);
  store_le32(s, 32, g.total_sectors);
  store_le32(s, 36, g.fat_sectors);
  store_le32(s, 44, kRootCluster);
  store_le16(s, 48, kFsInfoSector);
  store_le16(s, 50, kBackupBootSector);
  s[64] = 0x80;
  s[66] = 0x29;
  store_le32(s, 67, options.volume_id.value_or(default_volume_id()));
  std::memcpy(s.data() + 71, label.data(), 11);
  std::memcpy(s.data() + 82, "FAT32   ", 8);
  // The volume is not bootable: the jump lands on "cli; hlt; jmp $-1".
  const std::array<std::uint8_t, 4> halt = {0xFA, 0xF4, 0xEB, 0xFD};
  std::memcpy(s.data() + 90, halt.data(), halt.size());
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

Result<void> write_fats(Device& device, const Fat32Geometry& g) {
  const std::uint64_t fat_bytes = std::uint64_t{g.fat_sectors} * g.bytes_per_sector;
  std::array<std::uint8_t, 12> head{};
  store_le32(head, 0, 0x0FFFFF00 | kMedia);
  store_le32(head, 4, 0x0FFFFFFF);
  store_le32(head, 8, 0x0FFFFFFF);  // the root directory's single cluster
  for (std::uint32_t copy = 0; copy < kFatCount; ++copy) {
    const std::uint64_t offset =
        std::uint64_t{kReservedSectors} * g.bytes_per_sector + copy * fat_bytes;
    FATFS_TRY(device.zero_at(offset, fat_bytes));
    FATFS_TRY(device.write_at(offset, head));
  }
  return {};
}

Result<void> write_root(Device& device, const Fat32Geometry& g,
                        const FormatOptions& options, const std::string& label) {
  const std::uint64_t cluster_bytes =
      std::uint64_t{g.sectors_per_cluster} * g.bytes_per_sector;
  const std::uint64_t offset =
      (std::uint64_t{kReservedSectors} + std::uint64_t{kFatCount} * g.fat_sectors) *
      g.bytes_per_sector;
  FATFS_TRY(device.zero_at(offset, cluster_bytes));
  if (options.volume_label.empty()) return {};
  DirEntry entry;
  ShortName name;
  std::memcpy(name.data(), label.data(), name.size());
  entry.set_short_name(name);
  entry.set_attributes(attr::kVolumeId);
  const SystemClock system_clock;
  const Clock& clock = options.clock != nullptr ? *options.clock : system_clock;
  entry.set_modified(to_dos(clock.now()));
  return device.write_at(offset, entry.bytes());
}

}  // namespace

std::uint64_t min_fat32_volume_bytes(std::uint32_t bytes_per_sector) {
  const std::uint64_t fat_sectors =
      ((kMinFat32Clusters + 2) * 4ULL + bytes_per_sector - 1) / bytes_per_sector;
  return (kReservedSectors + kFatCount * fat_sectors + kMinFat32Clusters) *
         bytes_per_sector;
}

bool fat32_volume_too_large(std::uint64_t volume_bytes, std::uint32_t bytes_per_sector) {
  if (!supported_sector_size(bytes_per_sector) ||
      volume_bytes < min_fat32_volume_bytes(bytes_per_sector)) {
    return false;
  }
  const std::uint64_t total = volume_bytes / bytes_per_sector;
  if (total > 0xFFFFFFFFULL) return true;
  // The largest cluster a formatter picks; smaller ones only add clusters.
  const Fat32Geometry g = layout_for(
      static_cast<std::uint32_t>(total),
      default_sectors_per_cluster(volume_bytes, bytes_per_sector), bytes_per_sector);
  return g.cluster_count > kMaxFat32Clusters;
}

Result<Fat32Geometry> plan_fat32(std::uint64_t volume_bytes,
                                 std::uint32_t bytes_per_sector) {
  if (!supported_sector_size(bytes_per_sector)) {
    return fail(ErrorKind::kInvalidInput,
                "FAT32 volumes can be formatted only with 512-, 1024-, 2048- or "
                "4096-byte sectors, not " +
                    std::to_string(bytes_per_sector));
  }
  const std::uint64_t smallest = min_fat32_volume_bytes(bytes_per_sector);
  if (volume_bytes < smallest) {
    return fail(ErrorKind::kInvalidInput,
                "the volume of " + std::to_string(volume_bytes) +
                    " bytes is too small for FAT32, which needs at least " +
                    std::to_string(smallest) + " bytes");
  }
  const std::string sector_text = std::to_string(bytes_per_sector) + "-byte sectors";
  if (volume_bytes / bytes_per_sector > 0xFFFFFFFFULL) {
    return fail(ErrorKind::kInvalidInput,
                "the volume of " + std::to_string(volume_bytes) +
                    " bytes is too large for FAT32 with " + sector_text +
                    ", which allows at most " +
                    std::to_string(0xFFFFFFFFULL * bytes_per_sector) + " bytes");
  }
  if (fat32_volume_too_large(volume_bytes, bytes_per_sector)) {
    return fail(ErrorKind::kInvalidInput,
                "the volume of " + std::to_string(volume_bytes) +
                    " bytes is too large for FAT32 with " + sector_text +
                    ": even 32 KiB clusters are more than FAT32 can number");
  }
  const auto total = static_cast<std::uint32_t>(volume_bytes / bytes_per_sector);
  // Halve the cluster until the volume has enough clusters to be FAT32;
  // fewer would make every reader take it for FAT16.
  for (std::uint32_t per_cluster =
           default_sectors_per_cluster(volume_bytes, bytes_per_sector);
       per_cluster >= 1; per_cluster /= 2) {
    const Fat32Geometry g = layout_for(total, per_cluster, bytes_per_sector);
    if (g.cluster_count >= kMinFat32Clusters && g.cluster_count <= kMaxFat32Clusters)
      return g;
  }
  return fail(ErrorKind::kInvalidInput, "the volume size admits no valid FAT32 layout");
}

Result<std::string> padded_volume_label(std::string_view label) {
  if (label.empty()) return std::string("NO NAME    ");
  if (label.size() > 11 || label.front() == ' ' ||
      std::any_of(label.begin(), label.end(), forbidden_label_byte)) {
    return fail(
        ErrorKind::kInvalidInput,
        "volume labels must be 1 to 11 upper-case printable ASCII characters without "
        "\"*+,./:;<=>?[\\]| or a leading space");
  }
  std::string padded(label);
  padded.resize(11, ' ');
  return padded;
}

Result<void> format_volume(Stream& stream, const FormatOptions& options) {
  if (options.type != FatType::kFat32) {
    return fail(ErrorKind::kInvalidInput, "only FAT32 volumes can be formatted");
  }
  FATFS_ASSIGN_OR_RETURN(label, padded_volume_label(options.volume_label));
  FATFS_ASSIGN_OR_RETURN(device, Device::open(stream));
  FATFS_ASSIGN_OR_RETURN(g, plan_fat32(device.size(), options.bytes_per_sector));
  const std::uint64_t sector = g.bytes_per_sector;

  // Old boot sectors go first and the new one comes last, so that until the
  // format is complete the stream holds no volume anyone would mount.
  FATFS_TRY(device.zero_at(0, std::uint64_t{kReservedSectors} * sector));
  FATFS_TRY(write_fats(device, g));
  FATFS_TRY(write_root(device, g, options, label));
  // FSInfo and the boot sector fill the first 512 bytes of their sectors;
  // the rest of a larger sector stays zero.
  const auto fs_info = make_fs_info(g.cluster_count - 1, kRootCluster + 1);
  FATFS_TRY(device.write_at(kFsInfoSector * sector, fs_info));
  FATFS_TRY(device.write_at((kBackupBootSector + 1) * sector, fs_info));
  const auto boot = make_boot_sector(g, options, label);
  FATFS_TRY(device.write_at(kBackupBootSector * sector, boot));
  FATFS_TRY(device.flush());
  FATFS_TRY(device.write_at(0, boot));
  return device.flush();
}

}  // namespace fatfs
