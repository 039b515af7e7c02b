// The system maintenance lock and its files: where it lives, how it is held,
// the checks its directories and file must pass, the bounded flock wait, the
// lease IDs that name a hold, the lock itself, and its provisioning.
#ifndef RAVIK_MAINTENANCE_MAINTENANCE_LOCK_H_
#define RAVIK_MAINTENANCE_MAINTENANCE_LOCK_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "io/unique_fd.h"
#include "maintenance/maintenance_protocol.h"

namespace ravik {

// MaintenanceLocation: where the system maintenance lock lives. Each build
// fixes it at compile time (the production helper under "/var/lib", the
// testing helper inside its build tree); tests pass temporary directories.
// Plain value; thread-compatible.

inline constexpr std::string_view kMaintenanceLockFileName = "maintenance-v1.lock";

struct MaintenanceLocation {
  // Must already exist, root-owned and 0755; never created.
  std::string base_directory;
  // The protected directory, a child of the base directory.
  std::string directory_name;
  // A child of the protected directory.
  std::string lock_file_name = std::string(kMaintenanceLockFileName);

  // The protected directory's path: the base directory and the directory
  // name joined with "/".
  std::string directory_path() const;
  // The three parts joined with "/", for reporting only: the lock is always
  // reached through directory descriptors, never through this path.
  std::string lock_path() const;
};

// MaintenanceMode: how the system maintenance lock is held. Device sessions
// hold it shared, so any number run side by side; a maintenance holder takes
// it exclusive and thereby keeps every session out. Plain values; thread-safe.

enum class MaintenanceMode { kShared, kExclusive };

// "shared" or "exclusive", as every JSON line writes the mode.
std::string_view maintenance_mode_name(MaintenanceMode mode);

// The mode named exactly "shared" or "exclusive"; nothing for any other text
// (letter case matters).
std::optional<MaintenanceMode> parse_maintenance_mode(std::string_view text);

// Taking the flock lock of the maintenance lock file within a time limit.
//
// We poll with LOCK_NB instead of blocking so that the timeout is honoured
// and a holder in another process is never waited on without limit. There is
// no fairness: a waiting exclusive holder does not stop new shared holders.
// Thread-safe (no shared state); the lock belongs to the open file.

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

// The trust rules of the maintenance lock's directories and file, checked on
// open descriptors so that what is checked is what is used. Anything unsafe
// is refused; nothing here ever changes a file. Thread-safe.

// The pure rules on a status record, exposed so that every combination of
// type, owner, link count and mode bits can be tested without making files.
bool directory_status_is_safe(const struct stat& status);
bool lock_file_status_is_safe(const struct stat& status);

// A root-owned directory with exactly the permission bits 0755 (no write for
// group or others). Fails with "MAINTENANCE_UNAVAILABLE".
Result<void> validate_directory(int directory_fd);

// A root-owned regular file with exactly the permission bits 0666 and one
// link. The set-user-ID, set-group-ID and sticky bits are not examined.
// Fails with "MAINTENANCE_UNAVAILABLE".
Result<void> validate_lock_file(int lock_fd);

// Opening and, for the elevated helper, creating the maintenance directory
// and lock file. Every step works on descriptors: each name is looked up
// relative to an already checked directory descriptor, never follows a
// symbolic link, and every descriptor is close-on-exec. Thread-safe apart
// from the process umask, which these functions never change.

// Opens the base directory by path. It is never created. Fails with
// "MAINTENANCE_UNAVAILABLE" (a symbolic link in its place included).
Result<UniqueFd> open_base_directory(const std::string& path);

// Opens the protected directory `name` below `base_fd`. When it is missing
// and `create_allowed`, a root caller creates it with mode 0755 whatever the
// umask (losing a creation race to another process counts as success).
// Fails with "MAINTENANCE_UNAVAILABLE"; nothing is created on failure except
// a directory whose permissions could not then be set.
Result<UniqueFd> open_or_create_child_directory(int base_fd, const std::string& name,
                                                bool create_allowed, uid_t effective_uid);

// Opens the lock file `name` below `directory_fd` read-write. When
// `create_allowed` and the caller is root, a missing file is created with
// mode 0666 whatever the umask; it is made under a private name and renamed
// into place only once that mode is set, so a process opening it at the same
// moment never finds it half made. A file another process created first is
// simply opened. A caller that is not root never creates the file: it would
// be left behind with the wrong owner and refuse every later holder. Fails
// with "MAINTENANCE_UNAVAILABLE".
Result<UniqueFd> open_lock_file(int directory_fd, const std::string& name,
                                bool create_allowed, uid_t effective_uid);

// Lease IDs: 32 random bytes written as 64 lower-case hexadecimal characters.
// They name one hold of the maintenance lock and serve as installer lease
// tokens and guardian request IDs. Thread-safe (no shared state).

inline constexpr char kRandomSourcePath[] = "/dev/urandom";
inline constexpr std::size_t kLeaseIdRandomBytes = 32;

// A new lease ID from "/dev/urandom". Fails with "MAINTENANCE_UNAVAILABLE"
// when the source cannot be opened or yields fewer than 32 bytes.
Result<std::string> random_lease_id();

// The same from another source; tests use it to make the source fail.
Result<std::string> random_lease_id_from(const char* source_path);

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

// provision_maintenance: the "--maintenance-provision" mode. The installed,
// elevated helper creates whatever of the maintenance directory and lock file
// is missing, checks everything, proves the file can be locked, and reports
// the lock path. Idempotent: on a provisioned machine it only checks, locks,
// unlocks and prints the same line. Single-threaded use.

// {"path":...,"protocol":"ravik-system-maintenance-v1","status":"provisioned"}
// (keys sorted), or the encoder's failure as "MAINTENANCE_UNAVAILABLE".
Result<std::string> provisioned_line(const std::string& lock_path);

// Provisions `location` and writes the provisioned line to `output_fd`. Fails
// with "MAINTENANCE_PROVISIONING_REQUIRED" unless the effective user ID is 0,
// with "MAINTENANCE_BUSY" at once when the lock is held exclusively, and with
// the errors of MaintenanceLock::acquire_default; nothing is written to
// `output_fd` on failure.
Result<void> provision_maintenance(const MaintenanceLocation& location, int output_fd);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_MAINTENANCE_LOCK_H_
