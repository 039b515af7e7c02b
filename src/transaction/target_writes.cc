#include "transaction/target_writes.h"

#include <algorithm>
#include <limits>

#include "transaction/cancellation.h"
#include "transaction/medium_failure.h"

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
      if (is_medium_failure(written.error())) {
        return std::unexpected(medium_failure_at(codes::kWriteFailed, "store data",
                                                 write_position, written.error()));
      }
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

}  // namespace ravik
