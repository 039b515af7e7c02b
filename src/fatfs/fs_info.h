// FSInfo: the FAT32 sector that records the free-cluster count and where to
// look for the next free cluster. Both are hints: an implausible count reads
// as unknown, and an FSInfo sector without its signatures is left alone.
// Functions over a Device; not thread-safe.
#ifndef RAVIK_FATFS_FS_INFO_H_
#define RAVIK_FATFS_FS_INFO_H_

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "fatfs/boot_sector.h"
#include "fatfs/device.h"
#include "fatfs/error.h"

namespace fatfs {

inline constexpr std::uint32_t kUnknownFreeCount = 0xFFFFFFFF;

struct FsInfoHints {
  std::optional<std::uint32_t> free_count;
  std::uint32_t next_free = 2;
};

// A fresh FSInfo sector (512 bytes) with the given hints.
std::array<std::uint8_t, 512> make_fs_info(std::uint32_t free_count,
                                           std::uint32_t next_free);

// The hints of a mounted FAT32 volume; empty hints when it has none.
Result<FsInfoHints> read_fs_info(Device& device, const VolumeLayout& layout);
// Records the hints; does nothing when the volume has no valid FSInfo sector.
Result<void> write_fs_info(Device& device, const VolumeLayout& layout,
                           std::optional<std::uint32_t> free_count,
                           std::uint32_t next_free);

}  // namespace fatfs

#endif  // RAVIK_FATFS_FS_INFO_H_
