// FatType and the cluster-count thresholds that decide it. Constants;
// thread-safe.
#ifndef RAVIK_FATFS_FAT_TYPE_H_
#define RAVIK_FATFS_FAT_TYPE_H_

#include <cstdint>
#include <string_view>

namespace fatfs {

enum class FatType { kFat12, kFat16, kFat32 };

// A volume with fewer data clusters than kMinFat16Clusters is FAT12, with
// fewer than kMinFat32Clusters FAT16, otherwise FAT32.
inline constexpr std::uint32_t kMinFat16Clusters = 4085;
inline constexpr std::uint32_t kMinFat32Clusters = 65525;
// Cluster numbers of FAT32 are 28 bits wide; values from 0x0FFFFFF7 up are
// reserved, so cluster 0x0FFFFFF6 is the highest usable one.
inline constexpr std::uint32_t kMaxFat32Clusters = 0x0FFFFFF5;

constexpr std::string_view fat_type_name(FatType type) {
  switch (type) {
    case FatType::kFat12:
      return "FAT12";
    case FatType::kFat16:
      return "FAT16";
    case FatType::kFat32:
      return "FAT32";
  }
  return "FAT32";
}

}  // namespace fatfs

#endif  // RAVIK_FATFS_FAT_TYPE_H_
