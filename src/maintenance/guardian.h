// The installer guardian: the detached process that actually holds an
// installer lease. Forked by the begin mode, it binds itself to the owner
// process, takes the system maintenance lock exclusively, publishes a
// root-only socket and the lease-state file, reports readiness to begin over
// a pipe, and then serves "status" and "end" requests until the lease is
// ended or the owner exits, so that the lease never outlives its owner.
//
// Single-threaded; one connection at a time, each bounded to 5 seconds, and
// the owner is checked between connections and at least every 100 ms. It
// installs no signal handlers: killed, it leaves its files behind as stale
// files for the next guardian, and the kernel releases the lock.
#ifndef RAVIK_MAINTENANCE_GUARDIAN_H_
#define RAVIK_MAINTENANCE_GUARDIAN_H_

#include <sys/types.h>

#include <string>

#include "error/helper_error.h"
#include "io/unique_fd.h"
#include "maintenance/acquire_flock.h"
#include "maintenance/installer_platform.h"
#include "maintenance/maintenance_location.h"

namespace ravik {

struct GuardianLaunch {
  MaintenanceLocation location;
  std::string lease_state_path;
  std::string socket_path;
  pid_t owner_pid = 0;
  // Taken by begin before forking; the guardian serves exactly that process.
  OwnerBinding owner_binding;
  MaintenanceTimeout timeout{};
};

// The whole life of a guardian, run in the forked child. First closes every
// descriptor it inherited apart from the standard streams and `readiness`
// (the write end of begin's pipe). Writes one readiness record to
// `readiness`: success once the lease is published, or the error that
// stopped the start-up, which is also returned. After success it serves
// until the lease ends; errors of serving go nowhere but the exit status.
Result<void> run_guardian_child(const GuardianLaunch& launch, UniqueFd readiness);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_GUARDIAN_H_
