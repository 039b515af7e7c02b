#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <string>

#include "error/decimal.h"
#include "maintenance/installer_platform.h"
#include "maintenance/maintenance_unavailable.h"

namespace ravik {
namespace {

constexpr std::string_view kUnidentified =
    "Could not identify the exact installer owner process.";
constexpr std::string_view kInvalidIdentity =
    "Installer owner process identity is invalid.";

// Field 22 of /proc/PID/stat is the start time; after the ')' that ends
// field 2 come field 3 (the state) onwards.
constexpr int kStartTimeFieldAfterName = 22 - 2;

// Reads a small /proc file relative to the process directory `dir_fd`.
// Reads through that descriptor fail once the process is gone, even if its
// PID has been reused meanwhile.
std::optional<std::string> read_proc_file(int dir_fd, const char* name) {
  UniqueFd fd(::openat(dir_fd, name, O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string text;
  std::array<char, 4096> buffer{};
  while (text.size() < 65536) {
    const ssize_t count = ::read(fd.get(), buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
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

}  // namespace

std::optional<std::uint64_t> start_time_from_proc_stat(std::string_view line) {
  const std::size_t name_end = line.rfind(')');
  if (name_end == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(name_end + 1);
  for (int field = 0; field < kStartTimeFieldAfterName; ++field) {
    const std::size_t space = rest.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(space + 1);
  }
  return parse_decimal<std::uint64_t>(rest.substr(0, rest.find_first_of(" \n")));
}

Result<OwnerBinding> owner_binding(pid_t pid) {
  if (pid <= 0) return fail(codes::kMaintenanceUnavailable, std::string(kUnidentified));
  const std::string directory = "/proc/" + std::to_string(pid);
  UniqueFd dir_fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd) return fail(codes::kMaintenanceUnavailable, std::string(kUnidentified));
  const auto stat_line = read_proc_file(dir_fd.get(), "stat");
  const auto status = read_proc_file(dir_fd.get(), "status");
  if (!stat_line || !status) {
    return fail(codes::kMaintenanceUnavailable, std::string(kUnidentified));
  }
  const auto reported_pid =
      parse_decimal<pid_t>(std::string_view(*stat_line).substr(0, stat_line->find(' ')));
  const auto start_time = start_time_from_proc_stat(*stat_line);
  const auto uid = real_uid_from_status(*status);
  if (!reported_pid || *reported_pid != pid || !start_time || *start_time == 0 || !uid) {
    return fail(codes::kMaintenanceUnavailable, std::string(kInvalidIdentity));
  }
  return OwnerBinding{.pid = pid, .uid = *uid, .start_time = *start_time};
}

Result<OwnerWatch> OwnerWatch::watch(pid_t pid) {
  // A pidfd names the process itself, not its number; it becomes readable
  // when the process exits.
  UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!fd) {
    return fail(maintenance_unavailable(
        "Could not bind installer guardian to the owner process", errno));
  }
  return OwnerWatch(std::move(fd));
}

Result<bool> OwnerWatch::owner_exited() const {
  pollfd entry{.fd = fd_.get(), .events = POLLIN, .revents = 0};
  while (true) {
    const int ready = ::poll(&entry, 1, 0);
    if (ready >= 0) return ready > 0 && (entry.revents & (POLLIN | POLLHUP)) != 0;
    if (errno != EINTR) {
      return fail(
          maintenance_unavailable("Could not watch the installer owner process", errno));
    }
  }
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
  while (::fsync(fd) != 0) {
    if (errno != EINTR) {
      return fail(maintenance_unavailable(context, errno));
    }
  }
  return {};
}

void close_inherited_descriptors(int keep) {
  if (keep > STDERR_FILENO + 1) {
    ::syscall(SYS_close_range, STDERR_FILENO + 1, keep - 1, 0);
  }
  ::syscall(SYS_close_range, keep < STDERR_FILENO + 1 ? STDERR_FILENO + 1 : keep + 1,
            UINT_MAX, 0);
}

}  // namespace ravik
