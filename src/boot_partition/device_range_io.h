// Byte ranges of the held device at any offset and length, also on devices
// that accept only whole, aligned blocks: a range that is not block-aligned
// is read (or read, patched and written back) one whole block at a time, so
// the neighbouring bytes of a partly covered block are preserved. Not
// thread-safe: the caller's device belongs to one thread.
#ifndef RAVIK_BOOT_PARTITION_DEVICE_RANGE_IO_H_
#define RAVIK_BOOT_PARTITION_DEVICE_RANGE_IO_H_

#include <cstdint>
#include <span>

#include "platform/held_device_io.h"

namespace ravik {

// Smallest and largest block sizes a device with aligned I/O may have.
inline constexpr std::uint64_t kMinAlignedBlockBytes = 512;
inline constexpr std::uint64_t kMaxAlignedBlockBytes = 1'048'576;

// True when `block_size` is a power of two from 512 to 1 MiB.
bool valid_aligned_block_size(std::uint64_t block_size);

// Fills `buffer` with device bytes offset .. offset + buffer.size() - 1.
// A range beyond the capacity or invalid aligned geometry fails before any
// I/O; device errors are returned unchanged. The device position afterwards
// is unspecified.
IoResult<void> read_device_range_with_alignment(HeldDeviceIo& device,
                                                std::uint64_t offset,
                                                std::span<std::uint8_t> buffer,
                                                std::uint64_t block_size, bool aligned);

// Writes `data` at `offset`, as read_device_range_with_alignment reads. On
// failure the range may be partly written.
IoResult<void> write_device_range_with_alignment(HeldDeviceIo& device,
                                                 std::uint64_t offset,
                                                 std::span<const std::uint8_t> data,
                                                 std::uint64_t block_size, bool aligned);

}  // namespace ravik

#endif  // RAVIK_BOOT_PARTITION_DEVICE_RANGE_IO_H_
