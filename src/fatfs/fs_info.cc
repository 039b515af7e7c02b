#include "fatfs/fs_info.h"

#include "fatfs/byte_order.h"

namespace fatfs {
namespace {

constexpr std::uint32_t kLeadSignature = 0x41615252;
constexpr std::uint32_t kStructSignature = 0x61417272;
constexpr std::uint32_t kTrailSignature = 0xAA550000;

bool has_signatures(std::span<const std::uint8_t> s) {
  return load_le32(s, 0) == kLeadSignature && load_le32(s, 484) == kStructSignature &&
         load_le32(s, 508) == kTrailSignature;
}

}  // namespace

std::array<std::uint8_t, 512> make_fs_info(std::uint32_t free_count,
                                           std::uint32_t next_free) {
  std::array<std::uint8_t, 512> s{};
  store_le32(s, 0, kLeadSignature);
  store_le32(s, 484, kStructSignature);
  store_le32(s, 488, free_count);
  store_le32(s, 492, next_free);
  store_le32(s, 508, kTrailSignature);
  return s;
}

Result<FsInfoHints> read_fs_info(Device& device, const VolumeLayout& layout) {
  FsInfoHints hints;
  if (layout.type != FatType::kFat32 || layout.fsinfo_offset == 0) return hints;
  std::array<std::uint8_t, 512> s{};
  FATFS_TRY(device.read_at(layout.fsinfo_offset, s));
  if (!has_signatures(s)) return hints;
  const std::uint32_t count = load_le32(s, 488);
  if (count <= layout.cluster_count) hints.free_count = count;
  hints.next_free = load_le32(s, 492);
  return hints;
}

Result<void> write_fs_info(Device& device, const VolumeLayout& layout,
                           std::optional<std::uint32_t> free_count,
                           std::uint32_t next_free) {
  if (layout.type != FatType::kFat32 || layout.fsinfo_offset == 0) return {};
  std::array<std::uint8_t, 512> s{};
  FATFS_TRY(device.read_at(layout.fsinfo_offset, s));
  if (!has_signatures(s)) return {};
  store_le32(s, 488, free_count.value_or(kUnknownFreeCount));
  store_le32(s, 492, next_free);
  return device.write_at(layout.fsinfo_offset, s);
}

}  // namespace fatfs
