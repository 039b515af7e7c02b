// Formatting: writes a new, empty FAT32 volume that fills a Stream (its size
// is learnt by seeking to the end), with 512-byte sectors or the sector size
// asked for (a disk's logical block size, which systems that address the
// disk in whole blocks need), a cluster size chosen from the volume size as
// common formatters choose it (at least one sector), 32 reserved
// sectors, two FATs, media 0xF8, a volume ID, FSInfo and backup boot
// sectors, and the root directory at cluster 2 holding the label entry.
// Sizes that admit no valid FAT32 layout are refused before anything is
// written. Functions; not thread-safe for the same stream.
#ifndef RAVIK_FATFS_FORMAT_H_
#define RAVIK_FATFS_FORMAT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fatfs/clock.h"
#include "fatfs/error.h"
#include "fatfs/fat_type.h"
#include "fatfs/stream.h"

namespace fatfs {

// The smallest and largest volumes that format as FAT32 with 512-byte
// sectors: 65,525 clusters of one sector plus the FATs and reserved sectors,
// and the largest sector count the boot sector's 32-bit field can hold.
inline constexpr std::uint64_t kMinFat32VolumeBytes = 66581ULL * 512;
inline constexpr std::uint64_t kMaxFat32VolumeBytes = 0xFFFFFFFFULL * 512;

struct FormatOptions {
  FatType type = FatType::kFat32;  // only FAT32 can be formatted
  // Up to 11 bytes of upper-case printable ASCII without "*+,./:;<=>?[\]|
  // and without a leading space; empty means no label ("NO NAME").
  std::string volume_label;
  // 512, 1024, 2048 or 4096.
  std::uint32_t bytes_per_sector = 512;
  // Sectors (of bytes_per_sector) before the volume on its disk (a
  // partition's start), recorded for boot code; 0 for a volume at the start
  // of the stream.
  std::uint32_t hidden_sectors = 0;
  // Derived from the time of formatting when absent.
  std::optional<std::uint32_t> volume_id;
  // Time stamped on the label entry; local time when null. Not owned.
  const Clock* clock = nullptr;
};

struct Fat32Geometry {
  std::uint32_t bytes_per_sector = 512;
  std::uint32_t total_sectors = 0;
  std::uint32_t sectors_per_cluster = 0;
  std::uint32_t fat_sectors = 0;  // of one FAT
  std::uint32_t cluster_count = 0;
};

// The smallest volume that formats as FAT32 with `bytes_per_sector`-byte
// sectors (kMinFat32VolumeBytes for 512).
std::uint64_t min_fat32_volume_bytes(std::uint32_t bytes_per_sector);

// True when no FAT32 layout with `bytes_per_sector`-byte sectors reaches
// `volume_bytes`: beyond the 32-bit sector count, or more clusters than
// FAT32 can number even at 32 KiB a cluster (only possible above 8 TiB).
bool fat32_volume_too_large(std::uint64_t volume_bytes, std::uint32_t bytes_per_sector);

// The layout a volume of `volume_bytes` gets; kInvalidInput when the sector
// size is not supported or no FAT32 layout fits the size.
Result<Fat32Geometry> plan_fat32(std::uint64_t volume_bytes,
                                 std::uint32_t bytes_per_sector = 512);

// Checks and pads a label to the 11-byte field; "NO NAME    " when empty.
Result<std::string> padded_volume_label(std::string_view label);

// Formats the whole stream. On failure the stream may be partly written;
// the boot sector is written last, so an interrupted format does not leave
// a volume that mounts.
Result<void> format_volume(Stream& stream, const FormatOptions& options);

}  // namespace fatfs

#endif  // RAVIK_FATFS_FORMAT_H_
