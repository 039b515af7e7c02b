// Fixtures of the maintenance tests: a private base directory shaped like the
// production one (root-owned, 0755), helpers to provision or damage it, a
// lock holder in a forked process, and a count of open descriptors.
// Thread-compatible; every fixture owns its own temporary directory.
#ifndef RAVIK_TESTS_MAINTENANCE_LOCK_TEST_SUPPORT_H_
#define RAVIK_TESTS_MAINTENANCE_LOCK_TEST_SUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "maintenance/maintenance_lock.h"
#include "support/nobody.h"
#include "support/temp_dir.h"

namespace ravik::testing {

class LockSandbox {
 public:
  // A base directory, root-owned and 0755, without the protected directory.
  LockSandbox();

  const MaintenanceLocation& location() const { return location_; }
  const std::string& base() const { return location_.base_directory; }
  std::string protected_directory() const;
  std::string lock_file() const;

  // Creates the protected directory (0755) and the lock file (0666) as the
  // installer would.
  void provision() const;
  void make_protected_directory(mode_t mode) const;
  void make_lock_file(mode_t mode) const;

 private:
  harness::TempDir temp_;
  MaintenanceLocation location_;
};

// The permission and special bits of `path` (not following a link), or
// nothing when it does not exist.
std::optional<mode_t> mode_of(const std::string& path);
uid_t owner_of(const std::string& path);

// The testing helper at a path other users can execute: the build tree's
// own binary when every directory above it is searchable by others, else a
// copy in `copy_dir`.
std::string testing_helper_for_others(const harness::TempDir& copy_dir);

// Entries of /proc/self/fd.
int count_open_descriptors();

// A child process that takes the lock at `location` in `mode` (zero timeout,
// no creation) and keeps it until it is killed, the object is destroyed, or
// `hold_for` has passed.
class ForkedHolder {
 public:
  ForkedHolder(const MaintenanceLocation& location, MaintenanceMode mode,
               std::optional<std::chrono::milliseconds> hold_for = std::nullopt);
  ForkedHolder(const ForkedHolder&) = delete;
  ForkedHolder& operator=(const ForkedHolder&) = delete;
  ~ForkedHolder();

  // Whether the child got the lock; waits for its answer.
  bool acquired() const { return acquired_; }
  // SIGKILL and reap: the lock goes with the process.
  void kill();

 private:
  pid_t pid_ = -1;
  int release_pipe_ = -1;  // closing it ends the child
  bool acquired_ = false;
};

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_MAINTENANCE_LOCK_TEST_SUPPORT_H_
