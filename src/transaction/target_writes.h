// Writing image data to the held target: whole-buffer writes with
// cancellation, retry of interrupted writes and high-water tracking. Not
// thread-safe; only the cancel flag is shared (read with acquire ordering).
#ifndef RAVIK_TRANSACTION_TARGET_WRITES_H_
#define RAVIK_TRANSACTION_TARGET_WRITES_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>

#include "error/helper_error.h"
#include "platform/held_device_io.h"

namespace ravik {

// WRITE_FAILED "Could not write the held target: {error}".
HelperError write_io(const IoError& error);

// Writes all of `data` at the device's current position, which the caller
// keeps equal to `write_position`. An input/output error names the position
// at which the stick failed (see medium_failure.h). Each accepted count advances
// `write_position` and raises `target_high_water`, so on failure both tell how
// far the target was changed. The flag is tested before every device write;
// nothing is written once it is seen set.
Result<void> write_target_all(HeldDeviceIo& device, std::span<const std::uint8_t> data,
                              std::uint64_t& write_position,
                              std::uint64_t& target_high_water,
                              const std::atomic<bool>& cancel_flag);

// write_target_all, returning the time it took.
Result<std::chrono::nanoseconds> timed_write_target_all(
    HeldDeviceIo& device, std::span<const std::uint8_t> data,
    std::uint64_t& write_position, std::uint64_t& target_high_water,
    const std::atomic<bool>& cancel_flag);

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_TARGET_WRITES_H_
