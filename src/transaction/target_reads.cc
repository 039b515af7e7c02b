#include "transaction/target_reads.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "io/sha256.h"
#include "transaction/cancellation.h"
#include "transaction/medium_failure.h"
#include "transaction/target_read_ahead.h"
#include "transaction/transfer_buffer.h"

namespace ravik {
namespace {

constexpr std::uint64_t kMinAlignedBlock = 512;
constexpr std::uint64_t kMaxAlignedBlock = 1'048'576;

bool adds_without_overflow(std::uint64_t a, std::uint64_t b) {
  return b <= std::numeric_limits<std::uint64_t>::max() - a;
}

HelperError read_io(const IoError& error) {
  return HelperError::io_text(codes::kDeviceDisconnected,
                              "Could not read the held target", error.describe());
}

Result<void> seek_and_read(HeldDeviceIo& device, std::uint64_t offset,
                           std::span<std::uint8_t> buffer) {
  if (auto sought = device.seek(SeekFrom::start(offset)); !sought) {
    return std::unexpected(read_io(sought.error()));
  }
  if (auto filled = device.read_exact(buffer); !filled) {
    if (is_medium_failure(filled.error())) {
      // A failed read leaves the position where the failing request began.
      const auto at = device.seek(SeekFrom::current(0));
      return std::unexpected(medium_failure_at(codes::kDeviceDisconnected, "read data",
                                               at ? *at : offset, filled.error()));
    }
    return std::unexpected(read_io(filled.error()));
  }
  return {};
}

// Reads an unaligned range: its whole blocks straight into the caller's
// buffer, the part blocks at either end through one block buffer, of which
// only the requested bytes are copied out.
Result<void> read_widened(HeldDeviceIo& device, std::uint64_t offset,
                          std::span<std::uint8_t> buffer, std::uint64_t block_size) {
  RAVIK_ASSIGN_OR_RETURN(const AlignedBuffer block,
                         allocate_transfer_buffer(block_size, block_size));
  const auto staging = block.span().first(static_cast<std::size_t>(block_size));
  const auto read_part_block = [&](std::uint64_t done) -> Result<std::uint64_t> {
    const std::uint64_t at = offset + done;
    const std::uint64_t start = at - at % block_size;
    if (!adds_without_overflow(start, block_size) ||
        start + block_size > device.capacity()) {
      return fail(codes::kDeviceDisconnected,
                  "Aligned target read would exceed held capacity.");
    }
    RAVIK_RETURN_IF_ERROR(seek_and_read(device, start, staging));
    const std::uint64_t skip = at - start;
    const std::uint64_t count =
        std::min<std::uint64_t>(buffer.size() - done, block_size - skip);
    std::memcpy(buffer.data() + done, staging.data() + skip, count);
    return count;
  };
  std::uint64_t done = 0;
  if (offset % block_size != 0) {
    RAVIK_ASSIGN_OR_RETURN(done, read_part_block(0));
  }
  const std::uint64_t whole = (buffer.size() - done) / block_size * block_size;
  if (whole > 0) {
    RAVIK_RETURN_IF_ERROR(seek_and_read(
        device, offset + done,
        buffer.subspan(static_cast<std::size_t>(done), static_cast<std::size_t>(whole))));
    done += whole;
  }
  if (done < buffer.size()) {
    RAVIK_ASSIGN_OR_RETURN(const std::uint64_t count, read_part_block(done));
    done += count;
  }
  return {};
}

}  // namespace

Result<void> read_target_range(HeldDeviceIo& device, std::uint64_t offset,
                               std::span<std::uint8_t> buffer) {
  const std::uint64_t length = buffer.size();
  if (!adds_without_overflow(offset, length)) {
    return fail(codes::kDeviceDisconnected, "Target read range overflowed.");
  }
  if (device.capacity() < offset + length) {
    return fail(codes::kDeviceDisconnected, "Target read range exceeds held capacity.");
  }
  if (length == 0) return {};
  if (!device.requires_aligned_io()) return seek_and_read(device, offset, buffer);

  const std::uint64_t block_size = device.logical_block_size();
  if (block_size < kMinAlignedBlock || block_size > kMaxAlignedBlock ||
      (block_size & (block_size - 1)) != 0) {
    return fail(codes::kDeviceDisconnected,
                "The held target reported invalid aligned-read geometry.");
  }
  if (offset % block_size == 0 && length % block_size == 0) {
    return seek_and_read(device, offset, buffer);
  }
  return read_widened(device, offset, buffer, block_size);
}

Result<std::string> hash_target_range(TransferBufferPool& buffers, HeldDeviceIo& device,
                                      std::uint64_t offset, std::uint64_t length,
                                      const std::atomic<bool>& cancel_flag,
                                      const HashStepObserver& observer) {
  Sha256 hasher;
  RAVIK_RETURN_IF_ERROR(hash_target_range_into(hasher, buffers, device, offset, length,
                                               cancel_flag, observer));
  return hasher.finish_hex();
}

Result<void> hash_target_range_into(Sha256& hasher, TransferBufferPool& buffers,
                                    HeldDeviceIo& device, std::uint64_t offset,
                                    std::uint64_t length,
                                    const std::atomic<bool>& cancel_flag,
                                    const HashStepObserver& observer) {
  if (!adds_without_overflow(offset, length)) {
    return fail(codes::kVerifyMismatch, "Verification range overflow.");
  }
  if (device.capacity() < offset + length) {
    return fail(codes::kVerifyMismatch, "Verification range exceeds target capacity.");
  }
  if (length == 0) return {};
  if (length <= kHashStepBytes) {
    // One step: nothing to overlap.
    RAVIK_RETURN_IF_ERROR(check_cancel_flag(cancel_flag));
    RAVIK_ASSIGN_OR_RETURN(
        const TransferBufferPool::Loan buffer,
        buffers.take(1, device.logical_block_size(), static_cast<std::size_t>(length)));
    const auto chunk = buffer[0].first(static_cast<std::size_t>(length));
    RAVIK_RETURN_IF_ERROR(read_target_range(device, offset, chunk));
    hasher.update(chunk);
    if (observer) RAVIK_RETURN_IF_ERROR(observer(length));
    return {};
  }
  // The next step is read while this one is hashed; the flag is still
  // tested before each step is taken, so no step is hashed or reported once
  // a cancellation was seen.
  TargetReadAhead ahead(device, cancel_flag, buffers);
  RAVIK_RETURN_IF_ERROR(ahead.start(offset, length, kHashStepBytes));
  std::uint64_t done = 0;
  while (done < length) {
    RAVIK_RETURN_IF_ERROR(check_cancel_flag(cancel_flag));
    RAVIK_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> chunk, ahead.next());
    hasher.update(chunk);
    done += chunk.size();
    if (observer) RAVIK_RETURN_IF_ERROR(observer(done));
  }
  return {};
}

}  // namespace ravik
