// The few operating-system facilities the installer lease needs beyond
// POSIX: the owner process held by a descriptor, with its exact identity and
// a readiness that tells of its exit, the user of the peer of a local
// socket, a flush to stable storage, and a rename that never replaces.
// This header is portable; installer_platform_linux.cc implements it for
// Linux, and another host supplies its own file behind the same functions.
// Thread-safe (no shared state).
#ifndef RAVIK_MAINTENANCE_INSTALLER_PLATFORM_H_
#define RAVIK_MAINTENANCE_INSTALLER_PLATFORM_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "io/unique_fd.h"

namespace ravik {

// One process exactly: a process ID reused by a later process carries
// another start time, so it never matches.
struct OwnerBinding {
  pid_t pid = 0;
  // The real user ID on every system (the user who started the process,
  // which a set-user-ID program does not change).
  uid_t uid = 0;
  // When the process started, in the host's own units (clock ticks since
  // boot on Linux); only ever compared, never turned into a date.
  std::uint64_t start_time = 0;

  friend bool operator==(const OwnerBinding&, const OwnerBinding&) = default;
};

// Field `field` (counted from 1, as proc(5) counts) of a /proc/PID/stat line,
// for the numeric fields after the name. The fields are counted from the
// last ')', so a process name holding spaces or parentheses cannot shift
// them. Nothing when the line is malformed.
std::optional<std::uint64_t> proc_stat_field(std::string_view line, int field);

// What each system's OwnerProcess::open answers when the owner cannot be
// inspected, or reports an identity no process can have.
inline constexpr std::string_view kUnidentified =
    "Could not identify the exact installer owner process.";
inline constexpr std::string_view kInvalidIdentity =
    "Installer owner process identity is invalid.";

inline constexpr std::string_view kOwnerNotUserProcessMessage =
    "Installer owner PID must identify a live non-system process.";

// Process 1 (init on Linux, launchd on macOS) never exits, so a lease it
// owned would never end by itself: "MAINTENANCE_PROTOCOL" with
// kOwnerNotUserProcessMessage. Every system's OwnerProcess::open refuses it
// first.
inline Result<void> refuse_init_as_owner(pid_t pid) {
  if (pid == 1) {
    return fail(codes::kMaintenanceProtocol, std::string(kOwnerNotUserProcessMessage));
  }
  return {};
}

// One live process, held by a descriptor that names the process itself and
// not its number, so that a number reused by a later process never stands
// in for it. Move-only; owns its descriptor, which a forked guardian
// inherits to keep watching the very process begin identified.
class OwnerProcess {
 public:
  // The descriptor is taken first and the identity read after it, then the
  // process is proven alive through the descriptor: what was read is that
  // process's, whatever happened to its number meanwhile. Fails with
  // "MAINTENANCE_PROTOCOL", "Installer owner PID must identify a live
  // non-system process." for process 1 and a kernel thread (or any process
  // without an executable), else with "MAINTENANCE_UNAVAILABLE" when no such process
  // can be inspected or what the system reports is not a plausible identity.
  static Result<OwnerProcess> open(pid_t pid);

  const OwnerBinding& binding() const { return binding_; }
  // Becomes readable (POLLIN) once the process has exited; for poll().
  int exit_fd() const { return fd_.get(); }
  // True once the process has exited; never waits.
  Result<bool> exited() const;

 private:
  OwnerProcess(UniqueFd fd, OwnerBinding binding)
      : fd_(std::move(fd)), binding_(binding) {}
  UniqueFd fd_;
  OwnerBinding binding_;
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

// Renames `from` to `to` (both relative to `directory_fd`, or AT_FDCWD)
// unless something already exists at `to`, which is then left untouched
// (EEXIST). 0 on success, else the system's error.
int rename_without_replacing(int directory_fd, const std::string& from,
                             const std::string& to);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_INSTALLER_PLATFORM_H_
