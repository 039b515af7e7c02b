// The installer guardian: the detached process that actually holds an
// installer lease. Forked by the begin mode, it binds itself to the owner
// process, takes the system maintenance lock exclusively, publishes a
// root-only socket and the lease-state file, reports readiness to begin over
// a pipe, and then serves "status" and "end" requests until the lease is
// ended or the owner exits, so that the lease never outlives its owner.
//
// Single-threaded; one connection at a time, each bounded to 5 seconds.
// Between connections it sleeps in one wait on its socket and on the owner
// process, so the owner's exit ends the lease at once and an idle guardian
// costs no CPU. It installs no signal handlers: killed, it leaves its files
// behind as stale files for the next guardian, and the kernel releases the
// lock.
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
  MaintenanceTimeout timeout{};
};

// The whole life of a guardian, run in the forked child. `owner` is the
// process begin identified, opened by begin before the fork. First closes
// every descriptor it inherited apart from `owner`'s and `readiness` (the
// write end of begin's pipe), and gives up the caller's session, working
// directory and standard streams. Writes one readiness record to
// `readiness`: success once the lease is published, or the error that
// stopped the start-up, which is also returned. When begin is gone before
// it can be told, the start-up ends and nothing stays published. After
// success it serves until the lease ends; errors of serving go nowhere but
// the exit status.
Result<void> run_guardian_child(const GuardianLaunch& launch, OwnerProcess owner,
                                UniqueFd readiness);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_GUARDIAN_H_
