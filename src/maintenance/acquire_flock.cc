#include "maintenance/acquire_flock.h"

#include <poll.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>

#include "maintenance/maintenance_unavailable.h"

namespace ravik {

Result<void> poll_lock_attempts(MaintenanceTimeout timeout,
                                const std::function<Result<FlockAttempt>()>& attempt,
                                int abandon_fd) {
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
    // poll() sleeps like a timer when `abandon_fd` is negative, and reports
    // an error or hang-up on it even though no event was asked for.
    const auto pause = std::chrono::ceil<std::chrono::milliseconds>(
        std::min<std::chrono::nanoseconds>(limit - elapsed, kFlockPollInterval));
    pollfd entry{.fd = abandon_fd, .events = 0, .revents = 0};
    if (::poll(&entry, 1, static_cast<int>(pause.count())) > 0 &&
        (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      return fail(codes::kMaintenanceUnavailable,
                  "The maintenance lock wait was abandoned by its caller.");
    }
  }
}

Result<FlockAttempt> try_flock(int fd, MaintenanceMode mode) {
  const int operation = mode == MaintenanceMode::kShared ? LOCK_SH : LOCK_EX;
  if (::flock(fd, operation | LOCK_NB) == 0) return FlockAttempt::kAcquired;
  if (errno == EWOULDBLOCK) return FlockAttempt::kWouldBlock;
  return fail(maintenance_unavailable("Could not acquire maintenance lock", errno));
}

Result<void> acquire_flock(int fd, MaintenanceMode mode, MaintenanceTimeout timeout,
                           int abandon_fd) {
  return poll_lock_attempts(
      timeout, [fd, mode] { return try_flock(fd, mode); }, abandon_fd);
}

}  // namespace ravik
