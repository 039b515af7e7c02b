// Boot sector: decoding and validating the BIOS parameter block of a FAT
// volume into the geometry every other module uses. The FAT type follows
// from the count of data clusters alone, as the FAT standard rules; every
// field an attacker controls is checked against the others and against the
// size of the stream before it is used. Pure functions; thread-safe.
#ifndef RAVIK_FATFS_BOOT_SECTOR_H_
#define RAVIK_FATFS_BOOT_SECTOR_H_

#include <array>
#include <cstdint>
#include <span>

#include "fatfs/error.h"
#include "fatfs/fat_type.h"

namespace fatfs {

inline constexpr std::size_t kBootSectorSize = 512;

struct VolumeLayout {
  FatType type = FatType::kFat32;
  std::uint32_t bytes_per_sector = 0;
  std::uint32_t bytes_per_cluster = 0;
  std::uint64_t fat_offset = 0;  // byte offset of the first FAT
  std::uint64_t fat_bytes = 0;   // size of one FAT copy
  std::uint32_t fat_count = 0;
  // With mirroring every copy is written and copy 0 is read; without it
  // only `active_fat` is used.
  bool mirrored = true;
  std::uint32_t active_fat = 0;
  std::uint64_t root_offset = 0;    // FAT12/16: the fixed root directory
  std::uint32_t root_entries = 0;   // FAT12/16: its capacity in entries
  std::uint32_t root_cluster = 0;   // FAT32: first cluster of the root
  std::uint64_t data_offset = 0;    // byte offset of cluster 2
  std::uint32_t cluster_count = 0;  // data clusters, numbered 2..count+1
  std::uint64_t fsinfo_offset = 0;  // FAT32 FSInfo sector; 0 when absent
  std::array<std::uint8_t, 11> label{};

  std::uint64_t cluster_offset(std::uint32_t cluster) const {
    return data_offset + static_cast<std::uint64_t>(cluster - 2) * bytes_per_cluster;
  }
  bool valid_cluster(std::uint32_t cluster) const {
    return cluster >= 2 && cluster - 2 < cluster_count;
  }
};

// Decodes the first 512 bytes of a volume whose stream holds `stream_size`
// bytes. Fails with kCorrupt, naming the first inconsistency found.
Result<VolumeLayout> parse_boot_sector(std::span<const std::uint8_t> sector,
                                       std::uint64_t stream_size);

}  // namespace fatfs

#endif  // RAVIK_FATFS_BOOT_SECTOR_H_
