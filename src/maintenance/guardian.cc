#include "maintenance/guardian.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "io/system_descriptors.h"
#include "maintenance/guardian_files.h"
#include "maintenance/guardian_records.h"
#include "maintenance/guardian_socket.h"
#include "maintenance/installer_state.h"
#include "maintenance/json_line.h"
#include "maintenance/lease_id.h"
#include "maintenance/maintenance_lock.h"
#include "maintenance/maintenance_unavailable.h"
#include "maintenance/protocol_tag.h"
#include "maintenance/release_line.h"
#include "maintenance/release_request.h"

namespace ravik {
namespace {

constexpr std::chrono::milliseconds kAcceptPollInterval{100};
constexpr int kListenBacklog = 16;

// What the serving loop knows of the lease it publishes.
struct GuardianRuntime {
  InstallerLeaseState state;
  std::string lease_state_path;
  std::string socket_path;
  FileIdentity state_identity;
  FileIdentity socket_identity;
};

// Everything a started guardian owns. The lock is emptied by "end".
struct Serving {
  std::optional<MaintenanceLock> lock;
  OwnerWatch watch;
  UniqueFd listener;
  GuardianRuntime runtime;
};

Result<void> check_binding(pid_t pid, const OwnerBinding& expected,
                           std::string_view changed_message) {
  RAVIK_ASSIGN_OR_RETURN(const OwnerBinding now, owner_binding(pid));
  if (now != expected) {
    return fail(codes::kMaintenanceUnavailable, std::string(changed_message));
  }
  return {};
}

Result<UniqueFd> bind_listener(const std::string& path) {
  constexpr std::string_view kContext = "Could not bind installer guardian socket";
  RAVIK_ASSIGN_OR_RETURN(const sockaddr_un address,
                         guardian_socket_address(path, kContext));
  UniqueFd fd = cloexec_socket(AF_UNIX, SOCK_STREAM);
  if (!fd) return fail(maintenance_unavailable(kContext, errno));
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
          0 ||
      ::listen(fd.get(), kListenBacklog) != 0) {
    return fail(maintenance_unavailable(kContext, errno));
  }
  return fd;
}

// Binds, protects and checks the socket; returns it with its file identity.
Result<std::pair<UniqueFd, FileIdentity>> publish_socket(const std::string& path) {
  RAVIK_ASSIGN_OR_RETURN(UniqueFd listener, bind_listener(path));
  if (::chmod(path.c_str(), 0600) != 0) {
    return fail(
        maintenance_unavailable("Could not protect installer guardian socket", errno));
  }
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return fail(
        maintenance_unavailable("Could not inspect installer guardian socket", errno));
  }
  if (!socket_status_is_safe(status, /*require_one_link=*/false)) {
    return fail(codes::kMaintenanceUnavailable,
                "Installer guardian socket ownership or permissions are unsafe.");
  }
  const int flags = ::fcntl(listener.get(), F_GETFL);
  if (flags < 0 || ::fcntl(listener.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(
        maintenance_unavailable("Could not configure installer guardian socket", errno));
  }
  return std::pair{std::move(listener), FileIdentity{status.st_dev, status.st_ino}};
}

Result<void> redirect_guardian_stdio() {
  UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!null)
    return fail(
        maintenance_unavailable("Could not open installer guardian null device", errno));
  for (const int target : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::dup2(null.get(), target) < 0) {
      return fail(maintenance_unavailable(
          "Could not detach installer guardian standard streams", errno));
    }
  }
  return {};
}

Result<void> write_guardian_ready(int readiness_fd, const GuardianReady& ready) {
  const UniqueFd duplicate(::fcntl(readiness_fd, F_DUPFD_CLOEXEC, 0));
  if (!duplicate)
    return fail(
        maintenance_unavailable("Could not clone installer readiness pipe", errno));
  const auto encoded = encode_guardian_ready(ready);
  if (!encoded) {
    return fail(codes::kMaintenanceProtocol,
                "Could not encode installer guardian readiness: " + encoded.error());
  }
  return write_line(duplicate.get(), *encoded,
                    "Could not send installer guardian readiness");
}

// Start-up up to the publication of the lease (everything before readiness).
Result<Serving> start_guardian(const GuardianLaunch& launch) {
  if (::setsid() < 0) {
    return fail(
        maintenance_unavailable("Could not detach installer guardian session", errno));
  }
  // The watch must be bound to the very process begin identified: the
  // identity is compared before the watch exists and again after, so a PID
  // reused in between cannot slip in.
  RAVIK_RETURN_IF_ERROR(
      check_binding(launch.owner_pid, launch.owner_binding,
                    "Installer owner process identity changed before guardian startup."));
  RAVIK_ASSIGN_OR_RETURN(OwnerWatch watch, OwnerWatch::watch(launch.owner_pid));
  RAVIK_RETURN_IF_ERROR(
      check_binding(launch.owner_pid, launch.owner_binding,
                    "Installer owner process identity changed during guardian startup."));
  RAVIK_ASSIGN_OR_RETURN(
      MaintenanceLock lock,
      MaintenanceLock::acquire_default(launch.location, MaintenanceMode::kExclusive,
                                       launch.timeout, ::geteuid() == 0));
  RAVIK_RETURN_IF_ERROR(remove_stale_installer_path(launch.socket_path, true));
  RAVIK_RETURN_IF_ERROR(remove_stale_installer_path(launch.lease_state_path, false));
  RAVIK_ASSIGN_OR_RETURN(auto socket, publish_socket(launch.socket_path));
  RAVIK_ASSIGN_OR_RETURN(std::string token, random_lease_id());
  InstallerLeaseState state{
      .protocol = std::string(kMaintenanceProtocolTag),
      .version = kInstallerStateVersion,
      .token = std::move(token),
      .socket_path = launch.socket_path,
      .lease_id = lock.lease_id(),
      .owner_pid = launch.owner_pid,
      .guardian_pid = ::getpid(),
  };
  RAVIK_ASSIGN_OR_RETURN(const FileIdentity state_identity,
                         create_installer_state(launch.lease_state_path, state));
  RAVIK_RETURN_IF_ERROR(redirect_guardian_stdio());
  return Serving{
      .lock = std::move(lock),
      .watch = std::move(watch),
      .listener = std::move(socket.first),
      .runtime = {.state = std::move(state),
                  .lease_state_path = launch.lease_state_path,
                  .socket_path = launch.socket_path,
                  .state_identity = state_identity,
                  .socket_identity = socket.second},
  };
}

bool same_secret(std::string_view given, std::string_view expected) {
  return given.size() == expected.size() &&
         CRYPTO_memcmp(given.data(), expected.data(), expected.size()) == 0;
}

bool is_authentic(const GuardianRequest& request, const InstallerLeaseState& state) {
  return request.protocol == kMaintenanceProtocolTag &&
         same_secret(request.token, state.token) && request.lease_id == state.lease_id &&
         !request.request_id.empty() && request.request_id.size() <= kMaxRequestIdBytes &&
         request.request_id.find('\0') == std::string::npos;
}

Result<void> write_guardian_response(int connection_fd, const GuardianRuntime& runtime,
                                     const std::string& request_id,
                                     std::string_view status) {
  const auto encoded = encode_guardian_response(GuardianResponse{
      .protocol = std::string(kMaintenanceProtocolTag),
      .status = std::string(status),
      .request_id = request_id,
      .lease_id = runtime.state.lease_id,
      .owner_pid = runtime.state.owner_pid,
      .guardian_pid = runtime.state.guardian_pid,
  });
  if (!encoded) {
    return fail(codes::kMaintenanceProtocol,
                "Could not encode installer guardian response: " + encoded.error());
  }
  return write_line(connection_fd, *encoded,
                    "Could not acknowledge installer guardian request");
}

// Serves one accepted connection. True once an "end" ended the lease. A
// refused peer or request gets no answer: the connection is just closed.
Result<bool> serve_connection(int connection_fd, Serving& serving) {
  const auto peer = peer_effective_uid(connection_fd);
  if (!peer || *peer != 0) return false;
  const int flags = ::fcntl(connection_fd, F_GETFL);
  if (flags < 0 || ::fcntl(connection_fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
      !bound_exchange(connection_fd)) {
    return false;
  }
  // The whole request within the limit, not each byte of it: a client that
  // trickles bytes must not keep the owner watch from being polled.
  DeadlineByteSource input(connection_fd, kGuardianExchangeLimit);
  const auto line = read_release_line(input);
  if (!line) return false;
  const auto request = decode_guardian_request(*line);
  if (!request || !is_authentic(*request, serving.runtime.state)) return false;
  const GuardianRuntime& runtime = serving.runtime;
  if (request->command == "status") {
    (void)write_guardian_response(connection_fd, runtime, request->request_id, "held");
    return false;
  }
  if (request->command != "end") return false;
  // Files first, then the lock, then the answer: a client that reads
  // "released" finds no lease and may take the lock at once.
  RAVIK_RETURN_IF_ERROR(remove_installer_path_exact(runtime.lease_state_path,
                                                    runtime.state_identity, false));
  RAVIK_RETURN_IF_ERROR(
      remove_installer_path_exact(runtime.socket_path, runtime.socket_identity, true));
  MaintenanceLock lock = std::move(*serving.lock);
  serving.lock.reset();
  RAVIK_RETURN_IF_ERROR(std::move(lock).unlock());
  RAVIK_RETURN_IF_ERROR(
      write_guardian_response(connection_fd, runtime, request->request_id, "released"));
  return true;
}

Result<void> guardian_loop(Serving& serving) {
  const GuardianRuntime& runtime = serving.runtime;
  while (true) {
    RAVIK_ASSIGN_OR_RETURN(const bool owner_exited, serving.watch.owner_exited());
    if (owner_exited) {
      (void)remove_installer_path_exact(runtime.lease_state_path, runtime.state_identity,
                                        false);
      (void)remove_installer_path_exact(runtime.socket_path, runtime.socket_identity,
                                        true);
      return {};
    }
    const UniqueFd connection = cloexec_accept(serving.listener.get());
    if (!connection) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // Woken early by a connection; otherwise back to the owner watch.
        pollfd entry{.fd = serving.listener.get(), .events = POLLIN, .revents = 0};
        (void)::poll(&entry, 1, static_cast<int>(kAcceptPollInterval.count()));
        continue;
      }
      // A client that gave up before it was accepted ends nothing.
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return fail(maintenance_unavailable("Installer guardian socket failed", errno));
    }
    RAVIK_ASSIGN_OR_RETURN(const bool ended, serve_connection(connection.get(), serving));
    if (ended) return {};
  }
}

}  // namespace

Result<void> run_guardian_child(const GuardianLaunch& launch, UniqueFd readiness) {
  close_inherited_descriptors(readiness.get());
  // The socket is created by bind() before it can be protected; with this
  // mask it is never reachable by others, even for that moment.
  ::umask(077);
  auto serving = start_guardian(launch);
  Result<void> ready =
      serving ? write_guardian_ready(readiness.get(),
                                     GuardianReady{.ok = true,
                                                   .code = "",
                                                   .message = "",
                                                   .lease_id = serving->lock->lease_id(),
                                                   .owner_pid = launch.owner_pid,
                                                   .guardian_pid = ::getpid()})
              : Result<void>(fail(serving.error()));
  if (!ready) {
    (void)write_guardian_ready(
        readiness.get(),
        GuardianReady{.ok = false,
                      .code = std::string(ready.error().code().text()),
                      .message = readiness_message(ready.error().message()),
                      .lease_id = "",
                      .owner_pid = launch.owner_pid,
                      .guardian_pid = ::getpid()});
    return ready;
  }
  readiness.reset();
  return guardian_loop(*serving);
}

}  // namespace ravik
