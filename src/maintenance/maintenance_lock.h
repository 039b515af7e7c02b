// MaintenanceLock: one held system maintenance lock, and the ways to take it.
//
// The lock is a flock lock on a fixed, root-owned file in a fixed, root-owned
// directory. Device sessions hold it shared; a maintenance holder holds it
// exclusive. The file is trusted only after its type, owner, link count and
// permission bits, and those of both directories above it, were checked on
// the open descriptors.
//
// A MaintenanceLock is move-only and owned by one flow of one thread at a
// time; the lock serialises processes, not threads. Destroying it closes the
// descriptor, which releases the lock. The descriptor is close-on-exec, so an
// executed program never inherits the lock.
#ifndef RAVIK_MAINTENANCE_MAINTENANCE_LOCK_H_
#define RAVIK_MAINTENANCE_MAINTENANCE_LOCK_H_

#include <sys/types.h>

#include <string>

#include "error/helper_error.h"
#include "io/unique_fd.h"
#include "maintenance/acquire_flock.h"
#include "maintenance/maintenance_location.h"
#include "maintenance/maintenance_mode.h"

namespace ravik {

inline constexpr std::string_view kProvisioningRequiredMessage =
    "The canonical system maintenance lock must be provisioned by the installed "
    "elevated helper.";

class MaintenanceLock {
 public:
  // Opens, checks and locks the lock file at `location`, waiting up to
  // `timeout` for the lock. With `create_allowed`, a root caller first
  // creates the protected directory (0755) and the lock file (0666) when
  // they are missing; existing files are never changed. Without it, every
  // missing or unsafe file is reported as
  // "MAINTENANCE_PROVISIONING_REQUIRED". Other failures:
  // "MAINTENANCE_PROTOCOL" (timeout above one hour, checked before any file
  // is opened), "MAINTENANCE_BUSY" (held elsewhere for the whole timeout),
  // "MAINTENANCE_UNAVAILABLE" (a wait that `abandon_fd` ended included, see
  // poll_lock_attempts). A failure leaves no lock held and no descriptor
  // open.
  static Result<MaintenanceLock> acquire_default(const MaintenanceLocation& location,
                                                 MaintenanceMode mode,
                                                 MaintenanceTimeout timeout,
                                                 bool create_allowed,
                                                 int abandon_fd = -1);

  // acquire_default with the effective user ID given instead of read, so
  // that tests running as root reach the branches of other callers.
  static Result<MaintenanceLock> acquire_as(const MaintenanceLocation& location,
                                            MaintenanceMode mode,
                                            MaintenanceTimeout timeout,
                                            bool create_allowed, uid_t effective_uid,
                                            int abandon_fd = -1);

  MaintenanceLock(MaintenanceLock&&) noexcept = default;
  MaintenanceLock& operator=(MaintenanceLock&&) noexcept = default;
  MaintenanceLock(const MaintenanceLock&) = delete;
  MaintenanceLock& operator=(const MaintenanceLock&) = delete;
  ~MaintenanceLock() = default;

  // Removes the flock lock, then closes the descriptor whether or not the
  // removal succeeded, so the lock is gone either way; only the failure is
  // reported ("MAINTENANCE_UNAVAILABLE"). Leaves this value empty.
  Result<void> unlock() &&;

  // 64 lower-case hexadecimal characters, new for every acquisition.
  const std::string& lease_id() const { return lease_id_; }
  MaintenanceMode mode() const { return mode_; }
  // For reporting only.
  const std::string& lock_path() const { return lock_path_; }

 private:
  MaintenanceLock(std::string lease_id, std::string lock_path, UniqueFd descriptor,
                  MaintenanceMode mode)
      : lease_id_(std::move(lease_id)),
        lock_path_(std::move(lock_path)),
        descriptor_(std::move(descriptor)),
        mode_(mode) {}

  std::string lease_id_;
  std::string lock_path_;
  UniqueFd descriptor_;
  MaintenanceMode mode_;
};

// The entry point of every holder except provisioning: the device session
// (shared, 30 seconds, provisioning permitted) and the hold mode (mode and
// timeout from its caller, provisioning not permitted). Provisioning is
// permitted only to a process whose effective user ID is 0. Fails as
// MaintenanceLock::acquire_default.
Result<MaintenanceLock> acquire_process_lock(const MaintenanceLocation& location,
                                             MaintenanceMode mode,
                                             MaintenanceTimeout timeout,
                                             bool provisioning_permitted);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_MAINTENANCE_LOCK_H_
