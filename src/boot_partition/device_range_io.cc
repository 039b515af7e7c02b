#include "boot_partition/device_range_io.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace ravik {
namespace {

std::unexpected<IoError> invalid_input(std::string text) {
  return std::unexpected(IoError::with_text(IoErrorKind::kOther, std::move(text)));
}

// The checks both directions make before any I/O; true when the range needs
// block-wise treatment.
IoResult<bool> check_range(const HeldDeviceIo& device, std::uint64_t offset,
                           std::uint64_t length, std::uint64_t block_size, bool aligned) {
  if (length > std::numeric_limits<std::uint64_t>::max() - offset ||
      offset + length > device.capacity()) {
    return invalid_input("raw device range exceeds held capacity");
  }
  if (length == 0 || !aligned) return false;
  if (!valid_aligned_block_size(block_size)) {
    return invalid_input("held target has invalid aligned-I/O geometry");
  }
  return offset % block_size != 0 || length % block_size != 0;
}

IoResult<void> seek_to(HeldDeviceIo& device, std::uint64_t offset) {
  auto sought = device.seek(SeekFrom::start(offset));
  if (!sought) return std::unexpected(std::move(sought).error());
  return {};
}

// Reads each logical block that [offset, offset + length) touches into a
// block buffer and hands it to `step(block, start, skip, done, count)`: the
// block starts at `start`, and its bytes skip .. skip + count - 1 are bytes
// done .. done + count - 1 of the range.
template <class Step>
IoResult<void> for_each_touched_block(HeldDeviceIo& device, std::uint64_t offset,
                                      std::uint64_t length, std::uint64_t block_size,
                                      Step&& step) {
  std::vector<std::uint8_t> block(block_size, 0);
  std::uint64_t done = 0;
  while (done < length) {
    const std::uint64_t at = offset + done;
    const std::uint64_t start = at - at % block_size;
    if (auto sought = seek_to(device, start); !sought) return sought;
    if (auto filled = device.read_exact(block); !filled) return filled;
    const std::uint64_t skip = at - start;
    const std::uint64_t count = std::min(length - done, block_size - skip);
    if (auto stepped = step(block, start, skip, done, count); !stepped) return stepped;
    done += count;
  }
  return {};
}

}  // namespace

bool valid_aligned_block_size(std::uint64_t block_size) {
  return block_size >= kMinAlignedBlockBytes && block_size <= kMaxAlignedBlockBytes &&
         (block_size & (block_size - 1)) == 0;
}

IoResult<void> read_device_range_with_alignment(HeldDeviceIo& device,
                                                std::uint64_t offset,
                                                std::span<std::uint8_t> buffer,
                                                std::uint64_t block_size, bool aligned) {
  auto blockwise = check_range(device, offset, buffer.size(), block_size, aligned);
  if (!blockwise) return std::unexpected(std::move(blockwise).error());
  if (buffer.empty()) return {};
  if (!*blockwise) {
    if (auto sought = seek_to(device, offset); !sought) return sought;
    return device.read_exact(buffer);
  }
  return for_each_touched_block(
      device, offset, buffer.size(), block_size,
      [&](std::span<std::uint8_t> block, std::uint64_t, std::uint64_t skip,
          std::uint64_t done, std::uint64_t count) -> IoResult<void> {
        std::memcpy(buffer.data() + done, block.data() + skip, count);
        return {};
      });
}

IoResult<void> write_device_range_with_alignment(HeldDeviceIo& device,
                                                 std::uint64_t offset,
                                                 std::span<const std::uint8_t> data,
                                                 std::uint64_t block_size, bool aligned) {
  auto blockwise = check_range(device, offset, data.size(), block_size, aligned);
  if (!blockwise) return std::unexpected(std::move(blockwise).error());
  if (data.empty()) return {};
  if (!*blockwise) {
    if (auto sought = seek_to(device, offset); !sought) return sought;
    return device.write_all(data);
  }
  return for_each_touched_block(
      device, offset, data.size(), block_size,
      [&](std::span<std::uint8_t> block, std::uint64_t start, std::uint64_t skip,
          std::uint64_t done, std::uint64_t count) -> IoResult<void> {
        std::memcpy(block.data() + skip, data.data() + done, count);
        if (auto sought = seek_to(device, start); !sought) return sought;
        return device.write_all(block);
      });
}

}  // namespace ravik
