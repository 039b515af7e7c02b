#include "transaction/target_writes.h"

#include <algorithm>
#include <limits>

#include "transaction/cancellation.h"

namespace ravik {

HelperError write_io(const IoError& error) {
  return HelperError::io_text(codes::kWriteFailed, "Could not write the held target",
                              error.describe());
}

Result<void> write_target_all(HeldDeviceIo& device, std::span<const std::uint8_t> data,
                              std::uint64_t& write_position,
                              std::uint64_t& target_high_water,
                              const std::atomic<bool>& cancel_flag) {
  while (!data.empty()) {
    RAVIK_RETURN_IF_ERROR(check_cancel_flag(cancel_flag));
    auto written = device.write(data);
    if (!written) {
      if (written.error().kind == IoErrorKind::kInterrupted) continue;
      return std::unexpected(write_io(written.error()));
    }
    const std::size_t count = *written;
    if (count == 0) {
      return std::unexpected(write_io(IoError::with_text(
          IoErrorKind::kOther, "the held target made no write progress")));
    }
    if (count > data.size()) {
      return fail(codes::kWriteFailed,
                  "The held target reported writing beyond the supplied buffer.");
    }
    if (count > std::numeric_limits<std::uint64_t>::max() - write_position) {
      return fail(codes::kWriteFailed,
                  "Target write offset exceeded the supported size.");
    }
    write_position += count;
    target_high_water = std::max(target_high_water, write_position);
    data = data.subspan(count);
  }
  return {};
}

Result<std::chrono::nanoseconds> timed_write_target_all(
    HeldDeviceIo& device, std::span<const std::uint8_t> data,
    std::uint64_t& write_position, std::uint64_t& target_high_water,
    const std::atomic<bool>& cancel_flag) {
  const auto started = std::chrono::steady_clock::now();
  RAVIK_RETURN_IF_ERROR(
      write_target_all(device, data, write_position, target_high_water, cancel_flag));
  return std::chrono::steady_clock::now() - started;
}

Result<std::chrono::nanoseconds> write_target_chunk(
    HeldDeviceIo& device, std::span<const std::uint8_t> data, std::uint64_t block_size,
    std::vector<std::uint8_t>& pending, std::uint64_t& write_position,
    std::uint64_t& target_high_water, const std::atomic<bool>& cancel_flag) {
  if (!device.requires_aligned_io()) {
    return timed_write_target_all(device, data, write_position, target_high_water,
                                  cancel_flag);
  }
  // With nothing pending, the whole blocks go to the device straight from the
  // caller's buffer; only the remainder is copied. The device sees the same
  // writes either way.
  std::span<const std::uint8_t> blocks;
  std::span<const std::uint8_t> remainder;
  if (pending.empty()) {
    const std::size_t whole = data.size() - data.size() % block_size;
    blocks = data.first(whole);
    remainder = data.subspan(whole);
  } else {
    pending.insert(pending.end(), data.begin(), data.end());
    const std::size_t whole = pending.size() - pending.size() % block_size;
    blocks = std::span<const std::uint8_t>(pending).first(whole);
  }
  if (blocks.empty()) {
    if (!remainder.empty()) pending.assign(remainder.begin(), remainder.end());
    return std::chrono::nanoseconds{0};
  }
  RAVIK_ASSIGN_OR_RETURN(const auto elapsed,
                         timed_write_target_all(device, blocks, write_position,
                                                target_high_water, cancel_flag));
  if (pending.empty()) {
    pending.assign(remainder.begin(), remainder.end());
  } else {
    pending.erase(pending.begin(),
                  pending.begin() + static_cast<std::ptrdiff_t>(blocks.size()));
  }
  return elapsed;
}

}  // namespace ravik
