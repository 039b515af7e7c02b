#include "maintenance/installer_lease.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <span>

#include "confinement/confinement.h"
#include "io/eintr.h"
#include "io/fd_stream.h"
#include "io/system_descriptors.h"
#include "maintenance/guardian.h"
#include "maintenance/installer_platform.h"
#include "maintenance/installer_state.h"
#include "maintenance/maintenance_protocol.h"
#include "maintenance/maintenance_unavailable.h"

namespace ravik {
namespace {

constexpr std::string_view kNoLease =
    "No authenticated installer maintenance lease exists.";

Result<void> check_owner_pid(std::int32_t owner_pid) {
  if (owner_pid < 2) {
    return fail(codes::kMaintenanceProtocol, std::string(kOwnerNotUserProcessMessage));
  }
  return {};
}

Result<InstallerLeaseState> load_existing_state(const std::string& path) {
  RAVIK_ASSIGN_OR_RETURN(std::optional<InstallerLeaseState> state,
                         load_installer_state(path));
  if (!state) return fail(codes::kMaintenanceProtocol, std::string(kNoLease));
  return std::move(state).value();
}

// Waits for the child without a limit; 0 when the wait itself fails.
int wait_status(pid_t child) {
  int status = 0;
  if (retry_on_eintr([&] { return ::waitpid(child, &status, 0); }) < 0) return 0;
  return status;
}

// Ends the lease of a guardian this begin started and can no longer
// report, then reaps it, so that the lock is free when begin fails. The
// guardian is asked to end its lease, which removes its files; one that
// cannot be asked is killed, which leaves them stale for the next guardian.
// It is still this process's unreaped child, so its PID is still its own.
void end_spawned_guardian(pid_t child, const std::string& lease_state_path) {
  const auto state = load_installer_state(lease_state_path);
  const bool released = state && *state && (*state)->guardian_pid == child &&
                        guardian_exchange(**state, "end").has_value();
  if (!released) ::kill(child, SIGKILL);
  (void)wait_status(child);
}

// The guardian's readiness record. `child_done` is set when the record was
// a failure, for which the guardian ends by itself and has been reaped.
Result<InstallerStatus> await_readiness(pid_t child, int read_fd, std::int32_t owner_pid,
                                        bool& child_done) {
  DescriptorByteSource input(read_fd);
  const auto line = read_release_line(input);
  if (!line) {
    child_done = true;
    return fail(codes::kMaintenanceUnavailable,
                "Installer guardian exited before readiness (wait status " +
                    std::to_string(wait_status(child)) + "): " + line.error().message());
  }
  // The guardian closes its end of the pipe right after the record. Waiting
  // for that end means that, once begin answers, the guardian holds exactly
  // its lease descriptors and nothing of the handshake.
  std::uint8_t extra = 0;
  const IoResult<std::size_t> after = input.read(std::span(&extra, 1));
  if (!after || *after != 0) {
    return fail(codes::kMaintenanceProtocol,
                "Installer guardian returned invalid readiness: bytes after the record.");
  }
  const auto ready = decode_guardian_ready(*line);
  if (!ready) {
    return fail(
        codes::kMaintenanceProtocol,
        "Installer guardian returned invalid readiness: " + ready.error().description);
  }
  if (!ready->ok) {
    child_done = true;
    (void)wait_status(child);
    return fail(HelperError(
        maintenance_code(ready->code),
        ready->message.empty() ? "Installer guardian failed before acquiring maintenance."
                               : ready->message));
  }
  if (ready->owner_pid != owner_pid || ready->guardian_pid != child ||
      ready->lease_id.empty()) {
    return fail(codes::kMaintenanceProtocol,
                "Installer guardian readiness did not match the spawned transaction.");
  }
  return InstallerStatus{.status = "installerHeld",
                         .lease_id = ready->lease_id,
                         .owner_pid = owner_pid,
                         .guardian_pid = child,
                         .adopted = false};
}

Result<InstallerStatus> spawn_guardian(const GuardianLaunch& launch, OwnerProcess owner,
                                       const InstallerStatusReport& report) {
  RAVIK_ASSIGN_OR_RETURN(auto pipe_ends, create_pipe());
  auto [read_end, write_end] = std::move(pipe_ends);
  const pid_t child = ::fork();
  if (child < 0) {
    return fail(maintenance_unavailable("Could not create installer maintenance guardian",
                                        errno));
  }
  if (child == 0) {
    // The guardian serves its socket for the whole lease: it never starts a
    // process and needs no capability once its parent opened nothing for it.
    confine_forked_child();
    read_end.reset();
    const Result<void> result =
        run_guardian_child(launch, std::move(owner), std::move(write_end));
    ::_exit(result ? 0 : 1);
  }
  write_end.reset();
  bool child_done = false;
  auto held = await_readiness(child, read_end.get(), launch.owner_pid, child_done);
  if (held) {
    if (auto reported = report(*held); !reported) held = fail(reported.error());
  }
  // A lease nobody was told of would keep every device session out until
  // its owner exits.
  if (!held && !child_done) end_spawned_guardian(child, launch.lease_state_path);
  return held;
}

// The owner of an adopted lease is the process the guardian serves only if
// it existed when the guardian started: a PID reused after the guardian's
// owner exited names a process started later. False when the guardian
// cannot be identified.
bool started_before_guardian(const OwnerBinding& owner, pid_t guardian_pid) {
  const auto guardian = OwnerProcess::open(guardian_pid);
  return guardian && owner.start_time <= guardian->binding().start_time;
}

}  // namespace

std::expected<std::string, std::string> encode_installer_status(
    const InstallerStatus& status) {
  nlohmann::ordered_json object;
  object["protocol"] = kMaintenanceProtocolTag;
  object["status"] = status.status;
  object["leaseId"] = status.lease_id;
  object["ownerPid"] = status.owner_pid;
  object["guardianPid"] = status.guardian_pid;
  object["adopted"] = status.adopted;
  return encode_compact(object);
}

std::optional<std::int32_t> parse_owner_pid(std::string_view text) {
  bool negative = false;
  if (text.starts_with('+') || text.starts_with('-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  const std::int64_t limit =
      negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
               : std::numeric_limits<std::int32_t>::max();
  std::int64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) return std::nullopt;
  }
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

ErrorCode maintenance_code(std::string_view code) {
  for (const ErrorCode known : {codes::kMaintenanceProtocol, codes::kMaintenanceBusy,
                                codes::kMaintenanceProvisioningRequired}) {
    if (code == known.text()) return known;
  }
  return codes::kMaintenanceUnavailable;
}

Result<void> validate_installer_invocation(const MaintenanceLocation& location,
                                           std::string_view protocol,
                                           std::string_view lease_state_path,
                                           uid_t effective_uid) {
  if (protocol != kMaintenanceProtocolTag) {
    return fail(codes::kMaintenanceProtocol,
                "Unsupported installer maintenance protocol.");
  }
  if (!names_same_path(lease_state_path, installer_lease_state_path(location))) {
    return fail(codes::kMaintenanceProtocol,
                "Installer lease-state path is not the canonical protected path.");
  }
  if (effective_uid != 0) {
    return fail(codes::kMaintenanceProvisioningRequired,
                "Installer maintenance requires the installed root-owned helper.");
  }
  return {};
}

Result<std::pair<UniqueFd, UniqueFd>> create_pipe() {
  auto ends = cloexec_pipe();
  if (!ends) {
    return fail(maintenance_unavailable(
        "Could not create installer guardian readiness pipe", errno));
  }
  return std::move(*ends);
}

Result<InstallerStatus> installer_begin(const MaintenanceLocation& location,
                                        std::string_view protocol,
                                        std::string_view lease_state_path,
                                        std::int32_t owner_pid,
                                        MaintenanceTimeout timeout,
                                        const InstallerStatusReport& report) {
  RAVIK_RETURN_IF_ERROR(
      validate_installer_invocation(location, protocol, lease_state_path, ::geteuid()));
  RAVIK_RETURN_IF_ERROR(check_owner_pid(owner_pid));
  // Held from before its identity is read until the guardian inherits it.
  RAVIK_ASSIGN_OR_RETURN(OwnerProcess owner, OwnerProcess::open(owner_pid));
  const std::string path = installer_lease_state_path(location);
  // No guardian can be serving an unfinished file (a guardian publishes it
  // whole), and the guardian started below replaces it under the lock.
  RAVIK_ASSIGN_OR_RETURN(const std::optional<InstallerLeaseState> state,
                         load_installer_state(path, UnfinishedState::kStale));
  if (state) {
    // A guardian that cannot be reached is gone: its files are stale and the
    // new guardian replaces them once it holds the lock.
    const auto response = guardian_exchange(*state, "status");
    if (response) {
      if (response->status != "held" || response->lease_id != state->lease_id) {
        return fail(codes::kMaintenanceProtocol,
                    "Installer guardian returned inconsistent lease state.");
      }
      if (owner_pid != state->owner_pid ||
          !started_before_guardian(owner.binding(), state->guardian_pid)) {
        return fail(
            codes::kMaintenanceBusy,
            "A different installer transaction already holds system maintenance.");
      }
      const InstallerStatus adopted{.status = "installerHeld",
                                    .lease_id = state->lease_id,
                                    .owner_pid = owner_pid,
                                    .guardian_pid = state->guardian_pid,
                                    .adopted = true};
      // The lease is the guardian's to keep whatever becomes of this report.
      RAVIK_RETURN_IF_ERROR(report(adopted));
      return adopted;
    }
  }
  std::optional<std::string> socket_path = installer_socket_path(path);
  if (!socket_path) {
    return fail(codes::kMaintenanceProtocol,
                "Installer lease-state path has no protected parent.");
  }
  return spawn_guardian(GuardianLaunch{.location = location,
                                       .lease_state_path = path,
                                       .socket_path = std::move(*socket_path),
                                       .owner_pid = owner_pid,
                                       .timeout = timeout},
                        std::move(owner), report);
}

Result<InstallerStatus> installer_assert_owner(const MaintenanceLocation& location,
                                               std::string_view protocol,
                                               std::string_view lease_state_path,
                                               std::int32_t owner_pid) {
  RAVIK_RETURN_IF_ERROR(
      validate_installer_invocation(location, protocol, lease_state_path, ::geteuid()));
  RAVIK_RETURN_IF_ERROR(check_owner_pid(owner_pid));
  RAVIK_ASSIGN_OR_RETURN(const InstallerLeaseState state,
                         load_existing_state(installer_lease_state_path(location)));
  if (owner_pid != state.owner_pid) {
    return fail(codes::kMaintenanceBusy,
                "A different installer transaction owns system maintenance.");
  }
  RAVIK_ASSIGN_OR_RETURN(const GuardianResponse response,
                         guardian_exchange(state, "status"));
  if (response.status != "held" || response.lease_id != state.lease_id ||
      response.owner_pid != owner_pid || response.guardian_pid != state.guardian_pid) {
    return fail(codes::kMaintenanceProtocol,
                "Installer guardian ownership acknowledgement did not match the held "
                "lease.");
  }
  return InstallerStatus{.status = "installerOwnerConfirmed",
                         .lease_id = state.lease_id,
                         .owner_pid = owner_pid,
                         .guardian_pid = response.guardian_pid,
                         .adopted = false};
}

Result<InstallerStatus> installer_end(const MaintenanceLocation& location,
                                      std::string_view protocol,
                                      std::string_view lease_state_path) {
  RAVIK_RETURN_IF_ERROR(
      validate_installer_invocation(location, protocol, lease_state_path, ::geteuid()));
  RAVIK_ASSIGN_OR_RETURN(const InstallerLeaseState state,
                         load_existing_state(installer_lease_state_path(location)));
  RAVIK_ASSIGN_OR_RETURN(const GuardianResponse response,
                         guardian_exchange(state, "end"));
  if (response.status != "released" || response.lease_id != state.lease_id ||
      response.owner_pid != state.owner_pid ||
      response.guardian_pid != state.guardian_pid) {
    return fail(codes::kMaintenanceProtocol,
                "Installer guardian release acknowledgement did not match the held "
                "lease.");
  }
  return InstallerStatus{.status = "installerReleased",
                         .lease_id = state.lease_id,
                         .owner_pid = response.owner_pid,
                         .guardian_pid = response.guardian_pid,
                         .adopted = false};
}

}  // namespace ravik
