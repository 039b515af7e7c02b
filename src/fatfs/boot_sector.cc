#include "fatfs/boot_sector.h"

#include <algorithm>
#include <string>

#include "fatfs/byte_order.h"

namespace fatfs {
namespace {

bool is_power_of_two(std::uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

std::uint32_t bits_per_entry(FatType type) {
  switch (type) {
    case FatType::kFat12:
      return 12;
    case FatType::kFat16:
      return 16;
    case FatType::kFat32:
      return 32;
  }
  return 32;
}

FatType type_for_cluster_count(std::uint64_t clusters) {
  if (clusters < kMinFat16Clusters) return FatType::kFat12;
  if (clusters < kMinFat32Clusters) return FatType::kFat16;
  return FatType::kFat32;
}

Result<void> check_basic_fields(std::span<const std::uint8_t> s) {
  if (s[510] != 0x55 || s[511] != 0xAA) {
    return fail(ErrorKind::kCorrupt, "the boot sector lacks the 0x55 0xAA signature");
  }
  const std::uint32_t bytes_per_sector = load_le16(s, 11);
  if (bytes_per_sector < 512 || bytes_per_sector > 4096 ||
      !is_power_of_two(bytes_per_sector)) {
    return fail(ErrorKind::kCorrupt, "the boot sector gives an invalid sector size");
  }
  if (!is_power_of_two(s[13])) {
    return fail(ErrorKind::kCorrupt, "the boot sector gives an invalid cluster size");
  }
  if (load_le16(s, 14) == 0) {
    return fail(ErrorKind::kCorrupt, "the boot sector gives no reserved sectors");
  }
  if (s[16] == 0) return fail(ErrorKind::kCorrupt, "the boot sector gives no FAT copies");
  return {};
}

// The FAT32-only fields: which FAT copy is live, the root cluster, FSInfo.
Result<void> decode_fat32_fields(std::span<const std::uint8_t> s, VolumeLayout& layout) {
  if (load_le16(s, 42) != 0) {
    return fail(ErrorKind::kCorrupt, "the FAT32 volume has an unsupported version");
  }
  const std::uint16_t ext_flags = load_le16(s, 40);
  layout.mirrored = (ext_flags & 0x80) == 0;
  layout.active_fat = layout.mirrored ? 0 : (ext_flags & 0x0F);
  if (layout.active_fat >= layout.fat_count) {
    return fail(ErrorKind::kCorrupt, "the FAT32 volume names a nonexistent active FAT");
  }
  layout.root_cluster = load_le32(s, 44);
  if (!layout.valid_cluster(layout.root_cluster)) {
    return fail(ErrorKind::kCorrupt, "the FAT32 root directory cluster is out of range");
  }
  const std::uint32_t fsinfo_sector = load_le16(s, 48);
  const std::uint32_t reserved = load_le16(s, 14);
  if (fsinfo_sector != 0 && fsinfo_sector < reserved) {
    layout.fsinfo_offset =
        static_cast<std::uint64_t>(fsinfo_sector) * layout.bytes_per_sector;
  }
  if (s[66] == 0x29) std::copy_n(s.begin() + 71, 11, layout.label.begin());
  return {};
}

}  // namespace

Result<VolumeLayout> parse_boot_sector(std::span<const std::uint8_t> s,
                                       std::uint64_t stream_size) {
  if (s.size() < kBootSectorSize || stream_size < kBootSectorSize) {
    return fail(ErrorKind::kCorrupt, "the stream is too small to hold a FAT volume");
  }
  FATFS_TRY(check_basic_fields(s));

  VolumeLayout layout;
  layout.bytes_per_sector = load_le16(s, 11);
  const std::uint64_t sector = layout.bytes_per_sector;
  layout.bytes_per_cluster = layout.bytes_per_sector * s[13];
  const std::uint64_t reserved = load_le16(s, 14);
  layout.fat_count = s[16];
  layout.root_entries = load_le16(s, 17);
  const std::uint16_t total16 = load_le16(s, 19);
  const std::uint64_t total = total16 != 0 ? total16 : load_le32(s, 32);
  const std::uint16_t fat_size16 = load_le16(s, 22);
  const bool fat32_bpb = fat_size16 == 0;
  const std::uint64_t fat_sectors = fat32_bpb ? load_le32(s, 36) : fat_size16;

  if (total == 0)
    return fail(ErrorKind::kCorrupt, "the boot sector gives no volume size");
  if (total * sector > stream_size) {
    return fail(ErrorKind::kCorrupt, "the volume is larger than its stream (" +
                                         std::to_string(total * sector) + " > " +
                                         std::to_string(stream_size) +
                                         " bytes); it may be truncated");
  }
  if (fat_sectors == 0)
    return fail(ErrorKind::kCorrupt, "the boot sector gives no FAT size");
  if (fat32_bpb && layout.root_entries != 0) {
    return fail(ErrorKind::kCorrupt, "a FAT32 boot sector gives a fixed root directory");
  }

  // Implementations disagree on where data starts when the fixed root does
  // not end on a sector boundary, so such a volume cannot be edited safely.
  if ((static_cast<std::uint64_t>(layout.root_entries) * 32) % sector != 0) {
    return fail(ErrorKind::kCorrupt,
                "the root directory does not fill a whole number of sectors");
  }
  const std::uint64_t root_sectors =
      static_cast<std::uint64_t>(layout.root_entries) * 32 / sector;
  const std::uint64_t meta = reserved + layout.fat_count * fat_sectors + root_sectors;
  if (meta >= total) {
    return fail(ErrorKind::kCorrupt, "the volume's metadata leaves no room for data");
  }
  const std::uint64_t clusters = (total - meta) / s[13];
  if (clusters == 0) return fail(ErrorKind::kCorrupt, "the volume has no data clusters");
  if (clusters > kMaxFat32Clusters) {
    return fail(ErrorKind::kCorrupt,
                "the volume has more clusters than FAT32 can number");
  }
  layout.cluster_count = static_cast<std::uint32_t>(clusters);
  // A FAT32 layout (no 16-bit FAT size) is FAT32 whatever its cluster count:
  // formatters make such volumes below 65,525 clusters and systems mount them
  // by their layout. A FAT12/16 layout must still fit its count.
  layout.type = fat32_bpb ? FatType::kFat32 : type_for_cluster_count(clusters);
  if (!fat32_bpb && layout.type == FatType::kFat32) {
    return fail(ErrorKind::kCorrupt,
                std::string("the boot sector's layout does not fit a volume of ") +
                    std::to_string(clusters) + " clusters, which makes it " +
                    std::string(fat_type_name(layout.type)));
  }
  layout.fat_offset = reserved * sector;
  layout.fat_bytes = fat_sectors * sector;
  if (layout.fat_bytes * 8 / bits_per_entry(layout.type) < clusters + 2) {
    return fail(ErrorKind::kCorrupt, "the FAT is too small for the volume's clusters");
  }
  layout.root_offset = layout.fat_offset + layout.fat_count * layout.fat_bytes;
  layout.data_offset = meta * sector;

  if (layout.type == FatType::kFat32) {
    FATFS_TRY(decode_fat32_fields(s, layout));
  } else {
    if (layout.root_entries == 0) {
      return fail(ErrorKind::kCorrupt, "the FAT12/16 volume has no root directory");
    }
    if (s[38] == 0x29) std::copy_n(s.begin() + 43, 11, layout.label.begin());
  }
  return layout;
}

}  // namespace fatfs
