// The few operating-system facilities the installer lease needs beyond
// POSIX: the exact identity of the owner process, a watch that tells without
// waiting whether the owner has exited, the user of the peer of a local
// socket, a flush to stable storage, and shedding inherited descriptors.
// This header is portable; installer_platform_linux.cc implements it for
// Linux, and another host supplies its own file behind the same functions.
// Thread-safe (no shared state).
#ifndef RAVIK_MAINTENANCE_INSTALLER_PLATFORM_H_
#define RAVIK_MAINTENANCE_INSTALLER_PLATFORM_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "error/helper_error.h"
#include "io/unique_fd.h"

namespace ravik {

// One process exactly: a process ID reused by a later process carries
// another start time, so it never matches.
struct OwnerBinding {
  pid_t pid = 0;
  uid_t uid = 0;  // the real user ID
  // When the process started, in the host's own units (clock ticks since
  // boot on Linux); only ever compared for equality.
  std::uint64_t start_time = 0;

  friend bool operator==(const OwnerBinding&, const OwnerBinding&) = default;
};

// The binding of the live process `pid`. Fails with "MAINTENANCE_UNAVAILABLE"
// when no such process can be inspected, or when what the system reports is
// not a plausible identity of it.
Result<OwnerBinding> owner_binding(pid_t pid);

// The start time field of a /proc/PID/stat line. The fields are counted from
// the last ')', so a process name holding spaces or parentheses cannot shift
// them. Nothing when the line is malformed.
std::optional<std::uint64_t> start_time_from_proc_stat(std::string_view line);

// Watches one process for its exit. Move-only; owns its descriptor.
class OwnerWatch {
 public:
  // Fails with "MAINTENANCE_UNAVAILABLE" (a process that is already gone
  // included).
  static Result<OwnerWatch> watch(pid_t pid);

  // True once the watched process has exited; never waits.
  Result<bool> owner_exited() const;

 private:
  explicit OwnerWatch(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// The effective user ID of the process at the other end of a connected
// Unix-domain stream socket, as it was when it connected. Fails with
// "MAINTENANCE_UNAVAILABLE", "Could not authenticate installer guardian
// peer: {error}".
Result<uid_t> peer_effective_uid(int connection_fd);

// Flushes what was written to `fd` (a file or a directory) to stable
// storage, retrying when interrupted. Fails with "MAINTENANCE_UNAVAILABLE",
// "{context}: {error}".
Result<void> sync_to_storage(int fd, std::string_view context);

// Closes every descriptor above standard error except `keep`, so that a
// detached process holds nothing its parent's caller gave it.
void close_inherited_descriptors(int keep);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_INSTALLER_PLATFORM_H_
