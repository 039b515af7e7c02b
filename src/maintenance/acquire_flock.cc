#include "maintenance/acquire_flock.h"

#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "maintenance/maintenance_unavailable.h"

namespace ravik {

Result<void> poll_lock_attempts(MaintenanceTimeout timeout,
                                const std::function<Result<FlockAttempt>()>& attempt) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  // Compared in nanoseconds; a timeout too long for that never expires,
  // which cannot happen for the at most one hour the callers allow.
  const auto limit =
      timeout.count() > static_cast<std::uint64_t>(
                            std::chrono::nanoseconds::max().count() / 1'000'000)
          ? std::chrono::nanoseconds::max()
          : std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::milliseconds(static_cast<std::int64_t>(timeout.count())));
  while (true) {
    RAVIK_ASSIGN_OR_RETURN(const FlockAttempt outcome, attempt());
    if (outcome == FlockAttempt::kAcquired) return {};
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
    if (elapsed >= limit) {
      return fail(codes::kMaintenanceBusy,
                  "System maintenance is active; the maintenance lock timed out.");
    }
    std::this_thread::sleep_for(
        std::min<std::chrono::nanoseconds>(limit - elapsed, kFlockPollInterval));
  }
}

Result<FlockAttempt> try_flock(int fd, MaintenanceMode mode) {
  const int operation = mode == MaintenanceMode::kShared ? LOCK_SH : LOCK_EX;
  if (::flock(fd, operation | LOCK_NB) == 0) return FlockAttempt::kAcquired;
  if (errno == EWOULDBLOCK) return FlockAttempt::kWouldBlock;
  return fail(maintenance_unavailable("Could not acquire maintenance lock", errno));
}

Result<void> acquire_flock(int fd, MaintenanceMode mode, MaintenanceTimeout timeout) {
  return poll_lock_attempts(timeout, [fd, mode] { return try_flock(fd, mode); });
}

}  // namespace ravik
