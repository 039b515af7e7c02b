// The installer guardian and both ends of its socket: the exchange limits and
// socket rules, the guardian process, and the client exchange with it.
#ifndef RAVIK_MAINTENANCE_GUARDIAN_H_
#define RAVIK_MAINTENANCE_GUARDIAN_H_

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "io/byte_source.h"
#include "io/unique_fd.h"
#include "maintenance/installer_platform.h"
#include "maintenance/installer_state.h"
#include "maintenance/maintenance_lock.h"

namespace ravik {

// The guardian's Unix-domain socket as both ends use it: the 5-second limits
// on every exchange, and the rule a socket file must meet to be trusted.
// Thread-safe (no shared state).

inline constexpr std::chrono::seconds kGuardianExchangeLimit{5};

// Bounds each send and receive on `fd` to kGuardianExchangeLimit. Fails with
// "MAINTENANCE_UNAVAILABLE", "Could not bound installer guardian exchange:
// {error}".
Result<void> bound_exchange(int fd);

// The address of the socket at `path` for bind or connect. A path too long
// for it fails with "MAINTENANCE_UNAVAILABLE", "{context}: {ENAMETOOLONG}".
Result<sockaddr_un> guardian_socket_address(const std::string& path,
                                            std::string_view context);

// A root-owned socket with permission bits exactly 0600 and, when
// `require_one_link`, exactly one link.
bool socket_status_is_safe(const struct stat& status, bool require_one_link);

// Reads straight from a borrowed socket, one call at a time, but only until
// a deadline fixed at construction: a peer that trickles bytes cannot stretch
// an exchange beyond its limit. Past the deadline a read fails as a timed-out
// receive does (EAGAIN).
class DeadlineByteSource final : public ByteSource {
 public:
  DeadlineByteSource(int fd, std::chrono::milliseconds limit);
  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;

 private:
  int fd_;
  std::chrono::steady_clock::time_point deadline_;
};

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

// guardian_exchange: the client side of the guardian socket, used by the
// installer modes. One request, one answer, on a fresh connection that is
// closed on every path. Thread-safe (no shared state).

// Sends `command` ("status" or "end") with the state's token and lease ID
// to the guardian at the state's socket, and returns its answer once its
// protocol tag and request ID match the request; the status, lease ID and
// PIDs are for the caller to judge. The socket must be a root-owned socket
// of mode 0600 with one link, served by a root process. Fails with
// "MAINTENANCE_UNAVAILABLE" (an unreachable or untrusted guardian) or
// "MAINTENANCE_PROTOCOL" (no answer, or an invalid or mismatching one).
Result<GuardianResponse> guardian_exchange(const InstallerLeaseState& state,
                                           std::string_view command);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_GUARDIAN_H_
