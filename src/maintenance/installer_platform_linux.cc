#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "error/decimal.h"
#include "io/eintr.h"
#include "maintenance/installer_platform.h"
#include "maintenance/maintenance_unavailable.h"

namespace ravik {
namespace {

// Reads a small /proc file relative to the process directory `dir_fd`.
// Reads through that descriptor fail once the process is gone, even if its
// PID has been reused meanwhile.
std::optional<std::string> read_proc_file(int dir_fd, const char* name) {
  UniqueFd fd(::openat(dir_fd, name, O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string text;
  std::array<char, 4096> buffer{};
  while (text.size() < 65536) {
    const ssize_t count =
        retry_on_eintr([&] { return ::read(fd.get(), buffer.data(), buffer.size()); });
    if (count < 0) return std::nullopt;
    if (count == 0) return text;
    text.append(buffer.data(), static_cast<std::size_t>(count));
  }
  return std::nullopt;
}

// The real user ID: the first number of the "Uid:" line of /proc/PID/status.
std::optional<uid_t> real_uid_from_status(std::string_view status) {
  constexpr std::string_view kKey = "\nUid:";
  const std::size_t at = status.find(kKey);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = status.substr(at + kKey.size());
  const std::size_t start = rest.find_first_not_of(" \t");
  if (start == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(start);
  return parse_decimal<uid_t>(rest.substr(0, rest.find_first_of(" \t\n")));
}

// The process is a kernel thread (PF_KTHREAD in the flags of field 9).
constexpr std::uint64_t kKernelThreadFlag = 0x00200000;

}  // namespace

std::optional<std::uint64_t> proc_stat_field(std::string_view line, int field) {
  const std::size_t name_end = line.rfind(')');
  if (name_end == std::string_view::npos || field < 3) return std::nullopt;
  // After the ')' that ends field 2 comes " " and field 3 (the state).
  std::string_view rest = line.substr(name_end + 1);
  for (int skipped = 2; skipped < field; ++skipped) {
    const std::size_t space = rest.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(space + 1);
  }
  return parse_decimal<std::uint64_t>(rest.substr(0, rest.find_first_of(" \n")));
}

Result<OwnerProcess> OwnerProcess::open(pid_t pid) {
  RAVIK_RETURN_IF_ERROR(refuse_init_as_owner(pid));
  if (pid <= 0) return fail(codes::kMaintenanceUnavailable, std::string(kUnidentified));
  // A pidfd names the process itself, not its number; it becomes readable
  // when the process exits.
  UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!process) {
    return fail(codes::kMaintenanceUnavailable, std::string(kUnidentified));
  }
  const std::string directory = "/proc/" + std::to_string(pid);
  UniqueFd dir_fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd) return fail(codes::kMaintenanceUnavailable, std::string(kUnidentified));
  const auto stat_line = read_proc_file(dir_fd.get(), "stat");
  const auto status = read_proc_file(dir_fd.get(), "status");
  // Only a process without a program (a kernel thread) has no exe link; a
  // confined helper without CAP_SYS_PTRACE may be refused the link of
  // another user's process, which still names a program.
  std::array<char, 1> exe{};
  const bool has_executable =
      ::readlinkat(dir_fd.get(), "exe", exe.data(), exe.size()) >= 0 || errno != ENOENT;
  // Alive after the reads means the number was this process's all along:
  // it cannot be reused before the process is gone and reaped.
  if (!stat_line || !status ||
      ::syscall(SYS_pidfd_send_signal, process.get(), 0, nullptr, 0) != 0) {
    return fail(codes::kMaintenanceUnavailable, std::string(kUnidentified));
  }
  const auto reported_pid =
      parse_decimal<pid_t>(std::string_view(*stat_line).substr(0, stat_line->find(' ')));
  const auto flags = proc_stat_field(*stat_line, 9);
  const auto start_time = proc_stat_field(*stat_line, 22);
  const auto uid = real_uid_from_status(*status);
  if (!reported_pid || *reported_pid != pid || !flags || !start_time ||
      *start_time == 0 || !uid) {
    return fail(codes::kMaintenanceUnavailable, std::string(kInvalidIdentity));
  }
  // A kernel thread never exits by itself, so a lease it owned would never
  // end; it has no executable, like every process that is not a program.
  if ((*flags & kKernelThreadFlag) != 0 || !has_executable) {
    return fail(codes::kMaintenanceProtocol, std::string(kOwnerNotUserProcessMessage));
  }
  return OwnerProcess(std::move(process),
                      OwnerBinding{.pid = pid, .uid = *uid, .start_time = *start_time});
}

Result<bool> OwnerProcess::exited() const {
  pollfd entry{.fd = fd_.get(), .events = POLLIN, .revents = 0};
  const int ready = retry_on_eintr([&] { return ::poll(&entry, 1, 0); });
  if (ready < 0) {
    return fail(
        maintenance_unavailable("Could not watch the installer owner process", errno));
  }
  return ready > 0 && (entry.revents & (POLLIN | POLLHUP)) != 0;
}

Result<uid_t> peer_effective_uid(int connection_fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(connection_fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
    return fail(
        maintenance_unavailable("Could not authenticate installer guardian peer", errno));
  }
  return credentials.uid;
}

Result<void> sync_to_storage(int fd, std::string_view context) {
  if (retry_on_eintr([&] { return ::fsync(fd); }) != 0) {
    return fail(maintenance_unavailable(context, errno));
  }
  return {};
}

int rename_without_replacing(int directory_fd, const std::string& from,
                             const std::string& to) {
  return ::renameat2(directory_fd, from.c_str(), directory_fd, to.c_str(),
                     RENAME_NOREPLACE) == 0
             ? 0
             : errno;
}

}  // namespace ravik
