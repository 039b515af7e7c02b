#include "boot_partition/fat32_recovery.h"

#include <array>
#include <vector>

#include "boot_partition/bounded_partition.h"
#include "boot_partition/device_range_io.h"
#include "boot_partition/partition_locator.h"
#include "fatfs/file_system.h"
#include "fatfs/format.h"
#include "protocol/request_validation.h"

namespace ravik {
namespace {

constexpr std::uint64_t kMiB = 1'048'576;
// The partition starts at 1 MiB, in whatever blocks the disk counts.
constexpr std::uint64_t kPartitionStartBytes = kMiB;
// The largest logical sector the FAT32 volume can take over from the disk.
constexpr std::uint64_t kMaxFatSectorBytes = 4096;
constexpr std::string_view kRecoverContext = "Could not recover the held target";

std::unexpected<HelperError> write_failure(const IoError& error) {
  return fail(
      HelperError::io_text(codes::kWriteFailed, kRecoverContext, error.describe()));
}

std::unexpected<HelperError> check_failure(std::string_view context,
                                           const fatfs::Error& error) {
  return fail(HelperError::io_text(codes::kBootCheckFailed, context, error.text));
}

void put_u32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::array<std::uint8_t, kTableSectorBytes> recovery_mbr(std::uint32_t first_lba,
                                                         std::uint32_t sector_count) {
  std::array<std::uint8_t, kTableSectorBytes> mbr{};
  // Not active; both CHS addresses out of CHS range; FAT32 with LBA.
  const std::array<std::uint8_t, 8> entry_head = {0x00, 0xFE, 0xFF, 0xFF,
                                                  0x0C, 0xFE, 0xFF, 0xFF};
  std::copy(entry_head.begin(), entry_head.end(), mbr.begin() + 446);
  put_u32(mbr, 454, first_lba);
  put_u32(mbr, 458, sector_count);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  return mbr;
}

}  // namespace

Result<void> reformat_fat32(HeldDeviceIo& device, std::string_view volume_label) {
  const std::uint64_t capacity = device.capacity();
  constexpr std::string_view kTooSmall =
      "The held target is too small for safe FAT32 recovery.";
  if (capacity / kMiB <= 32) return fail(codes::kDeviceTooSmall, std::string(kTooSmall));
  // The table and the volume count in the disk's logical blocks: systems
  // read an MBR in those blocks and refuse to mount a FAT whose sectors are
  // smaller than them.
  const std::uint64_t block_size = device.logical_block_size();
  if (!valid_aligned_block_size(block_size) || block_size > kMaxFatSectorBytes) {
    return fail(codes::kToolMissing,
                "Safe recovery of targets whose logical blocks are not 512 to 4096 "
                "bytes is not supported.");
  }
  const std::uint64_t first_lba = kPartitionStartBytes / block_size;
  const std::uint64_t sectors = capacity / block_size - first_lba;
  if (sectors >= (std::uint64_t{1} << 32)) {
    return fail(codes::kToolMissing,
                "Safe recovery of targets larger than the MBR sector limit is not "
                "supported.");
  }
  const auto fat_sector = static_cast<std::uint32_t>(block_size);
  if (fatfs::fat32_volume_too_large(sectors * block_size, fat_sector)) {
    return fail(codes::kToolMissing,
                "Safe recovery of targets larger than the FAT32 cluster limit is not "
                "supported.");
  }
  // Asked before the first write: wiping a disk on which no FAT32 layout
  // fits would leave it with neither a table nor a file system.
  if (!fatfs::plan_fat32(sectors * block_size, fat_sector)) {
    return fail(codes::kDeviceTooSmall, std::string(kTooSmall));
  }
  const bool aligned = device.requires_aligned_io();
  if (auto sought = device.seek(SeekFrom::start(0)); !sought) {
    return write_failure(sought.error());
  }
  const std::vector<std::uint8_t> zeros(kMiB, 0);
  for (const std::uint64_t offset : {std::uint64_t{0}, capacity - kMiB}) {
    if (auto wiped =
            write_device_range_with_alignment(device, offset, zeros, block_size, aligned);
        !wiped) {
      return write_failure(wiped.error());
    }
  }
  RAVIK_RETURN_IF_ERROR(device.sync_all());
  const auto mbr = recovery_mbr(static_cast<std::uint32_t>(first_lba),
                                static_cast<std::uint32_t>(sectors));
  if (auto written =
          write_device_range_with_alignment(device, 0, mbr, block_size, aligned);
      !written) {
    return write_failure(written.error());
  }
  RAVIK_RETURN_IF_ERROR(device.sync_all());

  RAVIK_ASSIGN_OR_RETURN(
      const PartitionRange range,
      checked_partition_bounds(first_lba, sectors, capacity, block_size));
  {
    RAVIK_ASSIGN_OR_RETURN(BoundedPartition partition,
                           BoundedPartition::create(device, range));
    fatfs::FormatOptions options;
    options.type = fatfs::FatType::kFat32;
    options.volume_label = std::string(volume_label);
    options.bytes_per_sector = fat_sector;
    options.hidden_sectors = static_cast<std::uint32_t>(first_lba);
    if (auto formatted = fatfs::format_volume(partition, options); !formatted) {
      return check_failure("Could not format the held FAT32 partition",
                           formatted.error());
    }
    if (auto flushed = partition.flush(); !flushed) {
      return check_failure("Could not format the held FAT32 partition", flushed.error());
    }
  }
  {
    RAVIK_ASSIGN_OR_RETURN(BoundedPartition partition,
                           BoundedPartition::create(device, range));
    auto fs = fatfs::FileSystem::mount(partition);
    if (!fs) {
      return check_failure("Could not reopen the recovered FAT32 partition", fs.error());
    }
    if (auto unmounted = fs->unmount(); !unmounted) {
      return check_failure("Could not flush recovered FAT32 metadata", unmounted.error());
    }
  }
  RAVIK_RETURN_IF_ERROR(device.sync_all());
  RAVIK_ASSIGN_OR_RETURN(const PartitionRange located,
                         locate_partition(device, capacity, 1));
  if (located != range) {
    return fail(codes::kVerifyMismatch,
                "Recovered partition-table readback did not match the requested layout.");
  }
  return {};
}

Result<void> recover_fat32(HeldTransaction& transaction, std::string_view volume_label) {
  RAVIK_RETURN_IF_ERROR(validate_volume_label(volume_label));
  RAVIK_RETURN_IF_ERROR(transaction.require_writable());
  transaction.set_boot_partition(std::nullopt);
  HeldDeviceIo& device = transaction.device();
  RAVIK_RETURN_IF_ERROR(device.verify_current_identity());
  RAVIK_RETURN_IF_ERROR(reformat_fat32(device, volume_label));
  RAVIK_RETURN_IF_ERROR(device.sync_all());
  RAVIK_RETURN_IF_ERROR(device.verify_current_identity());
  transaction.mark_media_layout_ready();
  return {};
}

}  // namespace ravik
