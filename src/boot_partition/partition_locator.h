// Locating partition 1 of the held target through its MBR, or through the
// GPT behind a protective MBR, with every structural check a hostile or
// damaged table needs; the result is a byte range proven to lie inside the
// disk. Partition tables count in the device's logical blocks, as the
// systems that made them did: the GPT header is at LBA 1 of the device's
// blocks and every LBA, MBR or GPT, is a number of those blocks (a
// 4096-byte-sector disk gets its header at byte 4096). The MBR itself is the
// first 512 bytes whatever the block size. Only reads the device. Not
// thread-safe: the device belongs to one thread.
#ifndef RAVIK_BOOT_PARTITION_PARTITION_LOCATOR_H_
#define RAVIK_BOOT_PARTITION_PARTITION_LOCATOR_H_

#include <cstdint>
#include <span>

#include "error/helper_error.h"
#include "platform/held_device_io.h"
#include "transaction/partition_range.h"

namespace ravik {

// The MBR's size, and the smallest logical block.
inline constexpr std::uint64_t kTableSectorBytes = 512;

// The device's logical block size, the unit of its partition tables;
// BOOT_CHECK_FAILED when it is not a power of two from 512 to 1 MiB.
Result<std::uint64_t> table_sector_bytes(const HeldDeviceIo& device);

// Partition 1 of the target. Structural faults, unsupported types and read
// failures are BOOT_CHECK_FAILED; a partition number other than 1 is
// PROTOCOL_ERROR.
Result<PartitionRange> locate_partition(HeldDeviceIo& device, std::uint64_t capacity,
                                        std::uint32_t partition_number);

// Partition 1 of the GPT whose header is at LBA 1.
Result<PartitionRange> locate_gpt_partition(HeldDeviceIo& device, std::uint64_t capacity);

// The byte range of `sector_count` sectors of `sector_bytes` from
// `first_lba`, refused (BOOT_CHECK_FAILED) when empty, starting at sector 0,
// overflowing or reaching beyond `capacity`.
Result<PartitionRange> checked_partition_bounds(std::uint64_t first_lba,
                                                std::uint64_t sector_count,
                                                std::uint64_t capacity,
                                                std::uint64_t sector_bytes);

// Reads device bytes at `offset` with the device's own geometry; a failure
// is BOOT_CHECK_FAILED "Could not read partition metadata: {error}".
Result<void> read_exact_at(HeldDeviceIo& device, std::uint64_t offset,
                           std::span<std::uint8_t> buffer);

}  // namespace ravik

#endif  // RAVIK_BOOT_PARTITION_PARTITION_LOCATOR_H_
