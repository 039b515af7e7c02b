// The duration and speed figures reported for writes and verifications,
// computed in 128-bit integer arithmetic so that no image size or duration
// overflows them, and saturated at the largest unsigned 64-bit value. Pure
// functions; thread-safe.
#ifndef RAVIK_TRANSACTION_RATES_H_
#define RAVIK_TRANSACTION_RATES_H_

#include <chrono>
#include <cstdint>

namespace ravik {

// Whole milliseconds of `duration` (negative durations count as zero).
std::uint64_t whole_milliseconds(std::chrono::nanoseconds duration);

// bytes * 10^9 / max(nanoseconds, 1): the write speed, which treats a write
// that took no measurable time as taking one nanosecond.
std::uint64_t write_speed_bps(std::uint64_t bytes, std::chrono::nanoseconds duration);

// bytes / elapsed seconds truncated toward zero, or 0 when no time elapsed:
// the speed of a verification step.
std::uint64_t progress_speed_bps(std::uint64_t bytes, std::chrono::nanoseconds elapsed);

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_RATES_H_
