// The unmounting process itself and its owner in the session.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "confinement/confinement.h"
#include "io/unique_fd.h"
#include "platform/linux/unmount_service.h"

namespace ravik {
namespace {

// The session's standard streams are its caller's pipes: holding them would
// hide their ends from the caller.
void leave_standard_streams() {
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) ::close(fd);
    return;
  }
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) (void)::dup2(null, fd);
  if (null > STDERR_FILENO) ::close(null);
}

[[noreturn]] void serve(int socket, pid_t session, RemovabilityPolicy policy) {
  // Set before anything else, then checked: a session that ended before
  // it was set sends no signal.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != session) ::_exit(0);
  leave_standard_streams();
  // A cancellation sent to the whole process group is the session's to
  // handle: it may still need an unmount on its way out. This process ends
  // with the session or with its socket.
  ::signal(SIGINT, SIG_IGN);
  ::signal(SIGTERM, SIG_IGN);
  (void)confine_process(ConfinedMode::kDeviceSession);
  const LinuxSystemPaths paths;
  SystemMountOperations local(paths.mountinfo_path);
  for (;;) {
    UnmountRequest request;
    const ssize_t received = ::recv(socket, &request, sizeof(request), 0);
    if (received < 0 && errno == EINTR) continue;
    if (received != static_cast<ssize_t>(sizeof(request))) ::_exit(0);
    const UnmountAnswer answer{
        .error = unmount_removable_disk_mount(request.mount_id, paths, policy, local)};
    if (::send(socket, &answer, sizeof(answer), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(sizeof(answer))) {
      ::_exit(0);
    }
  }
}

// Closing the socket ends the process, which is then reaped.
class UnmountServiceOwner {
 public:
  UnmountServiceOwner(UniqueFd socket, pid_t process)
      : socket_(std::move(socket)), process_(process) {
    use_unmount_service(socket_.get());
  }
  UnmountServiceOwner(const UnmountServiceOwner&) = delete;
  UnmountServiceOwner& operator=(const UnmountServiceOwner&) = delete;
  ~UnmountServiceOwner() {
    use_unmount_service(-1);
    socket_.reset();
    while (::waitpid(process_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }

 private:
  UniqueFd socket_;
  pid_t process_;
};

}  // namespace

std::shared_ptr<void> start_unmount_service(const DeviceOpenPolicy& policy) {
  int sockets[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0)
    return nullptr;
  UniqueFd session_end(sockets[0]);
  UniqueFd service_end(sockets[1]);
  const pid_t session = ::getpid();
  const pid_t process = ::fork();
  if (process < 0) return nullptr;
  if (process == 0) {
    session_end.reset();
    serve(service_end.get(), session,
          {.treat_loop_devices_as_removable = policy.treat_loop_devices_as_removable});
  }
  return std::make_shared<UnmountServiceOwner>(std::move(session_end), process);
}

}  // namespace ravik
