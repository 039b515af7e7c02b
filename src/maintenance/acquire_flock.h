// Taking the flock lock of the maintenance lock file within a time limit.
//
// We poll with LOCK_NB instead of blocking so that the timeout is honoured
// and a holder in another process is never waited on without limit. There is
// no fairness: a waiting exclusive holder does not stop new shared holders.
// Thread-safe (no shared state); the lock belongs to the open file.
#ifndef RAVIK_MAINTENANCE_ACQUIRE_FLOCK_H_
#define RAVIK_MAINTENANCE_ACQUIRE_FLOCK_H_

#include <chrono>
#include <cstdint>
#include <functional>

#include "error/helper_error.h"
#include "maintenance/maintenance_mode.h"

namespace ravik {

// Whole milliseconds, unsigned so that every timeout the command line accepts
// (any unsigned 64-bit number) is represented exactly until it is refused.
using MaintenanceTimeout = std::chrono::duration<std::uint64_t, std::milli>;

inline constexpr MaintenanceTimeout kMaximumMaintenanceTimeout{3'600'000};
inline constexpr std::chrono::milliseconds kFlockPollInterval{20};

enum class FlockAttempt { kAcquired, kWouldBlock };

// Repeats `attempt` until it acquires or fails, or until `timeout` has passed
// since the first attempt, sleeping at most kFlockPollInterval between
// attempts. A zero timeout makes exactly one attempt. Fails with
// "MAINTENANCE_BUSY" on timeout, or with the attempt's error. When
// `abandon_fd` is a descriptor, an error or hang-up on it (the write end of
// a pipe whose reader is gone) ends the wait with "MAINTENANCE_UNAVAILABLE":
// nobody is left to be told the lock was taken.
Result<void> poll_lock_attempts(MaintenanceTimeout timeout,
                                const std::function<Result<FlockAttempt>()>& attempt,
                                int abandon_fd = -1);

// One non-blocking flock in `mode` on `fd`. An interrupted call is a failure,
// not retried. Fails with "MAINTENANCE_UNAVAILABLE".
Result<FlockAttempt> try_flock(int fd, MaintenanceMode mode);

// Takes the lock on `fd` in `mode`, waiting up to `timeout` unless
// `abandon_fd` ends the wait (see poll_lock_attempts). On failure no lock
// was taken.
Result<void> acquire_flock(int fd, MaintenanceMode mode, MaintenanceTimeout timeout,
                           int abandon_fd = -1);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_ACQUIRE_FLOCK_H_
