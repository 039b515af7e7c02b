#include "maintenance/guardian.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "error/error_code.h"
#include "io/eintr.h"
#include "io/system_descriptors.h"
#include "maintenance/installer_platform.h"
#include "maintenance/installer_state.h"
#include "maintenance/maintenance_lock.h"
#include "maintenance/maintenance_protocol.h"
#include "maintenance/maintenance_unavailable.h"

namespace ravik {

Result<sockaddr_un> guardian_socket_address(const std::string& path,
                                            std::string_view context) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    return fail(maintenance_unavailable(context, ENAMETOOLONG));
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

Result<void> bound_exchange(int fd) {
  const timeval limit{.tv_sec = kGuardianExchangeLimit.count(), .tv_usec = 0};
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
    return fail(
        maintenance_unavailable("Could not bound installer guardian exchange", errno));
  }
  return {};
}

bool socket_status_is_safe(const struct stat& status, bool require_one_link) {
  return S_ISSOCK(status.st_mode) && status.st_uid == 0 &&
         (status.st_mode & 0777) == 0600 && (!require_one_link || status.st_nlink == 1);
}

DeadlineByteSource::DeadlineByteSource(int fd, std::chrono::milliseconds limit)
    : fd_(fd), deadline_(std::chrono::steady_clock::now() + limit) {}

IoResult<std::size_t> DeadlineByteSource::read(std::span<std::uint8_t> buffer) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  const auto left =
      duration_cast<milliseconds>(deadline_ - std::chrono::steady_clock::now()).count();
  pollfd entry{.fd = fd_, .events = POLLIN, .revents = 0};
  const int ready = left > 0 ? ::poll(&entry, 1, static_cast<int>(left)) : 0;
  if (ready < 0) return std::unexpected(IoError::from_errno(errno));
  if (ready == 0) return std::unexpected(IoError::from_errno(EAGAIN));
  const ssize_t count = ::read(fd_, buffer.data(), buffer.size());
  if (count < 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::size_t>(count);
}

namespace {

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
  OwnerProcess owner;
  UniqueFd listener;
  GuardianRuntime runtime;
};

Result<UniqueFd> bind_listener(const std::string& path) {
  constexpr std::string_view kContext = "Could not bind installer guardian socket";
  RAVIK_ASSIGN_OR_RETURN(const sockaddr_un address,
                         guardian_socket_address(path, kContext));
  UniqueFd fd = cloexec_socket(AF_UNIX, SOCK_STREAM);
  if (!fd) return fail(maintenance_unavailable(kContext, errno));
  // bind() gives the socket its mode from the mask: no mode may change a
  // file's mode by name (that could reach any file), so the socket is made
  // with its final mode. The guardian runs on one thread.
  const mode_t previous_mask = ::umask(0177);
  const int bound =
      ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bind_error = errno;
  ::umask(previous_mask);
  if (bound != 0) return fail(maintenance_unavailable(kContext, bind_error));
  if (::listen(fd.get(), kListenBacklog) != 0) {
    return fail(maintenance_unavailable(kContext, errno));
  }
  return fd;
}

// Binds and checks the socket; returns it with its file identity.
Result<std::pair<UniqueFd, FileIdentity>> publish_socket(const std::string& path) {
  RAVIK_ASSIGN_OR_RETURN(UniqueFd listener, bind_listener(path));
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

// Takes the token and publishes the state file for the lease of `lock`.
Result<std::pair<InstallerLeaseState, FileIdentity>> publish_state(
    const GuardianLaunch& launch, const MaintenanceLock& lock) {
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
  RAVIK_ASSIGN_OR_RETURN(const FileIdentity identity,
                         create_installer_state(launch.lease_state_path, state));
  return std::pair{std::move(state), identity};
}

// Start-up up to the publication of the lease (everything before readiness).
Result<Serving> start_guardian(const GuardianLaunch& launch, OwnerProcess owner,
                               int readiness_fd) {
  // Detached at once from everything of the caller's: its session, its
  // working directory (a file system it began from stays unmountable while
  // a process sits in it) and its standard streams (a caller that reads
  // begin's output to its end must not wait for the lock wait below).
  if (::setsid() < 0 || ::chdir("/") != 0) {
    return fail(
        maintenance_unavailable("Could not detach installer guardian session", errno));
  }
  RAVIK_RETURN_IF_ERROR(redirect_guardian_stdio());
  // The owner is the very process begin identified, held since then; only
  // its exit can have changed it.
  RAVIK_ASSIGN_OR_RETURN(const bool owner_gone, owner.exited());
  if (owner_gone) {
    return fail(codes::kMaintenanceUnavailable,
                "Installer owner process identity changed before guardian startup.");
  }
  // A begin that is gone can be told nothing: the wait ends with it, before
  // anything is published.
  RAVIK_ASSIGN_OR_RETURN(
      MaintenanceLock lock,
      MaintenanceLock::acquire_default(launch.location, MaintenanceMode::kExclusive,
                                       launch.timeout, ::geteuid() == 0, readiness_fd));
  RAVIK_RETURN_IF_ERROR(remove_stale_installer_path(launch.socket_path, true));
  RAVIK_RETURN_IF_ERROR(remove_stale_installer_path(
      installer_state_temporary_path(launch.lease_state_path), false));
  RAVIK_RETURN_IF_ERROR(remove_stale_installer_path(launch.lease_state_path, false));
  RAVIK_ASSIGN_OR_RETURN(auto socket, publish_socket(launch.socket_path));
  auto published = publish_state(launch, lock);
  if (!published) {
    (void)remove_installer_path_exact(launch.socket_path, socket.second, true);
    return fail(published.error());
  }
  return Serving{
      .lock = std::move(lock),
      .owner = std::move(owner),
      .listener = std::move(socket.first),
      .runtime = {.state = std::move(published->first),
                  .lease_state_path = launch.lease_state_path,
                  .socket_path = launch.socket_path,
                  .state_identity = published->second,
                  .socket_identity = socket.second},
  };
}

// Removes the files of a lease that ends without an "end" request; what
// cannot be removed is left for the next guardian as stale.
void withdraw_lease(const GuardianRuntime& runtime) {
  (void)remove_installer_path_exact(runtime.lease_state_path, runtime.state_identity,
                                    false);
  (void)remove_installer_path_exact(runtime.socket_path, runtime.socket_identity, true);
}

bool same_secret(std::string_view given, std::string_view expected) {
  return given.size() == expected.size() &&
         CRYPTO_memcmp(given.data(), expected.data(), expected.size()) == 0;
}

bool is_authentic(const GuardianRequest& request, const InstallerLeaseState& state) {
  return request.protocol == kMaintenanceProtocolTag &&
         same_secret(request.token, state.token) && request.lease_id == state.lease_id &&
         is_valid_request_id(request.request_id);
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
    // "held" vouches for the owner's PID: once the owner is gone that number
    // may name another process, so the answer is never given after its exit.
    const auto owner_gone = serving.owner.exited();
    if (!owner_gone || *owner_gone) {
      withdraw_lease(runtime);
      return true;
    }
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

// One wait for both things that can happen: the owner's exit and a client.
Result<void> guardian_loop(Serving& serving) {
  while (true) {
    std::array<pollfd, 2> entries{{
        {.fd = serving.owner.exit_fd(), .events = POLLIN, .revents = 0},
        {.fd = serving.listener.get(), .events = POLLIN, .revents = 0},
    }};
    if (retry_on_eintr([&] { return ::poll(entries.data(), entries.size(), -1); }) < 0) {
      return fail(maintenance_unavailable("Installer guardian socket failed", errno));
    }
    if (entries[0].revents != 0) {
      withdraw_lease(serving.runtime);
      return {};
    }
    if (entries[1].revents == 0) continue;
    const UniqueFd connection = cloexec_accept(serving.listener.get());
    if (!connection) {
      // A client that gave up before it was accepted ends nothing.
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
        continue;
      }
      return fail(maintenance_unavailable("Installer guardian socket failed", errno));
    }
    RAVIK_ASSIGN_OR_RETURN(const bool ended, serve_connection(connection.get(), serving));
    if (ended) return {};
  }
}

}  // namespace

Result<void> run_guardian_child(const GuardianLaunch& launch, OwnerProcess owner,
                                UniqueFd readiness) {
  const std::array<int, 2> kept = {readiness.get(), owner.exit_fd()};
  close_descriptors_above_standard_error(kept);
  // The socket is created by bind() before it can be protected; with this
  // mask it is never reachable by others, even for that moment.
  ::umask(077);
  auto serving = start_guardian(launch, std::move(owner), readiness.get());
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
    // Published, but begin is gone: nobody knows of the lease, so it ends.
    if (serving) withdraw_lease(serving->runtime);
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

namespace {

Result<UniqueFd> connect_to(const std::string& path) {
  constexpr std::string_view kContext = "Could not connect to installer guardian";
  RAVIK_ASSIGN_OR_RETURN(const sockaddr_un address,
                         guardian_socket_address(path, kContext));
  UniqueFd fd = cloexec_socket(AF_UNIX, SOCK_STREAM);
  if (!fd) return fail(maintenance_unavailable(kContext, errno));
  // A guardian that stopped accepting leaves its queue full; a local
  // connect then waits for room, for as long as the send limit allows (and
  // fails with EAGAIN after it), so the limit is set before connecting.
  RAVIK_RETURN_IF_ERROR(bound_exchange(fd.get()));
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
      0) {
    return fail(maintenance_unavailable(kContext, errno));
  }
  return fd;
}

}  // namespace

Result<GuardianResponse> guardian_exchange(const InstallerLeaseState& state,
                                           std::string_view command) {
  struct stat status {};
  if (::lstat(state.socket_path.c_str(), &status) != 0) {
    return fail(
        maintenance_unavailable("Could not inspect installer guardian socket", errno));
  }
  if (!socket_status_is_safe(status, /*require_one_link=*/true)) {
    return fail(codes::kMaintenanceUnavailable,
                "Installer guardian socket ownership, type, links, or permissions are "
                "unsafe.");
  }
  // One limit for the whole exchange, the connect included.
  const auto started = std::chrono::steady_clock::now();
  RAVIK_ASSIGN_OR_RETURN(const UniqueFd connection, connect_to(state.socket_path));
  RAVIK_ASSIGN_OR_RETURN(const uid_t peer, peer_effective_uid(connection.get()));
  if (peer != 0) {
    return fail(codes::kMaintenanceUnavailable,
                "Installer guardian socket peer is not trusted.");
  }
  RAVIK_ASSIGN_OR_RETURN(std::string request_id, random_lease_id());
  const auto encoded = encode_guardian_request(GuardianRequest{
      .protocol = std::string(kMaintenanceProtocolTag),
      .command = std::string(command),
      .token = state.token,
      .lease_id = state.lease_id,
      .request_id = request_id,
  });
  if (!encoded) {
    return fail(codes::kMaintenanceProtocol,
                "Could not encode installer guardian request: " + encoded.error());
  }
  RAVIK_RETURN_IF_ERROR(write_line(connection.get(), *encoded,
                                   "Could not send installer guardian request"));
  DeadlineByteSource input(
      connection.get(),
      std::chrono::duration_cast<std::chrono::milliseconds>(
          kGuardianExchangeLimit - (std::chrono::steady_clock::now() - started)));
  RAVIK_ASSIGN_OR_RETURN(const std::string line, read_release_line(input));
  auto response = decode_guardian_response(line);
  if (!response) {
    return fail(codes::kMaintenanceProtocol, "Installer guardian response is invalid: " +
                                                 response.error().description);
  }
  if (response->protocol != kMaintenanceProtocolTag ||
      response->request_id != request_id) {
    return fail(codes::kMaintenanceProtocol,
                "Installer guardian response did not match the request.");
  }
  return std::move(response).value();
}

}  // namespace ravik
