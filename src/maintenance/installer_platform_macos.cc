// macOS: the owner's identity from proc_pidinfo, its exit through a kqueue,
// peers through getpeereid, durability through F_FULLFSYNC, and a rename
// that never replaces through renameatx_np.
#include <fcntl.h>
#include <libproc.h>
#include <stdio.h>
#include <sys/event.h>
#include <sys/proc_info.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "io/eintr.h"
#include "maintenance/installer_platform.h"
#include "maintenance/maintenance_unavailable.h"

namespace ravik {
namespace {

// Posted to the watch's queue once the exit was seen: a process's exit
// event is delivered once, the answer must stay true.
constexpr uintptr_t kExitSeen = 1;

}  // namespace

Result<OwnerProcess> OwnerProcess::open(pid_t pid) {
  RAVIK_RETURN_IF_ERROR(refuse_init_as_owner(pid));
  if (pid <= 0) return fail(codes::kMaintenanceUnavailable, std::string(kUnidentified));
  // The exit watch is registered first and the identity read after it; an
  // exit not yet reported afterwards means what was read is the watched
  // process's. A kqueue is never inherited across exec and can be polled.
  UniqueFd queue(::kqueue());
  if (!queue) return fail(codes::kMaintenanceUnavailable, std::string(kUnidentified));
  struct kevent change {};
  EV_SET(&change, static_cast<uintptr_t>(pid), EVFILT_PROC, EV_ADD, NOTE_EXIT, 0,
         nullptr);
  // A process that is already gone is refused here (ESRCH).
  if (::kevent(queue.get(), &change, 1, nullptr, 0, nullptr) != 0) {
    return fail(codes::kMaintenanceUnavailable, std::string(kUnidentified));
  }
  proc_bsdinfo info{};
  const int size = ::proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info);
  if (size != static_cast<int>(sizeof info)) {
    return fail(codes::kMaintenanceUnavailable, std::string(kUnidentified));
  }
  OwnerProcess owner(std::move(queue), OwnerBinding{});
  RAVIK_ASSIGN_OR_RETURN(const bool gone, owner.exited());
  if (gone) return fail(codes::kMaintenanceUnavailable, std::string(kUnidentified));
  // Microseconds since the epoch: another process under a reused ID
  // started later.
  const std::uint64_t start_time =
      static_cast<std::uint64_t>(info.pbi_start_tvsec) * 1'000'000u +
      static_cast<std::uint64_t>(info.pbi_start_tvusec);
  if (static_cast<pid_t>(info.pbi_pid) != pid || start_time == 0) {
    return fail(codes::kMaintenanceUnavailable, std::string(kInvalidIdentity));
  }
  // The kernel's own process is the only one marked a system process;
  // launchd, which never exits either, is refused above by its number.
  if ((info.pbi_flags & PROC_FLAG_SYSTEM) != 0) {
    return fail(codes::kMaintenanceProtocol, std::string(kOwnerNotUserProcessMessage));
  }
  owner.binding_ =
      OwnerBinding{.pid = pid, .uid = info.pbi_ruid, .start_time = start_time};
  return owner;
}

Result<bool> OwnerProcess::exited() const {
  const timespec no_wait{};
  struct kevent events[2]{};
  const int ready = retry_on_eintr(
      [&] { return ::kevent(fd_.get(), nullptr, 0, events, 2, &no_wait); });
  if (ready < 0) {
    return fail(
        maintenance_unavailable("Could not watch the installer owner process", errno));
  }
  bool exited = false;
  for (int i = 0; i < ready; ++i) {
    exited = exited || events[i].filter == EVFILT_USER ||
             (events[i].filter == EVFILT_PROC && (events[i].fflags & NOTE_EXIT) != 0);
  }
  if (exited) {
    // Keeps the answer, and the queue readable for poll(): a user event
    // without EV_CLEAR stays triggered.
    struct kevent seen {};
    EV_SET(&seen, kExitSeen, EVFILT_USER, EV_ADD, NOTE_TRIGGER, 0, nullptr);
    (void)::kevent(fd_.get(), &seen, 1, nullptr, 0, nullptr);
  }
  return exited;
}

Result<uid_t> peer_effective_uid(int connection_fd) {
  uid_t uid = 0;
  gid_t gid = 0;
  if (::getpeereid(connection_fd, &uid, &gid) != 0) {
    return fail(
        maintenance_unavailable("Could not authenticate installer guardian peer", errno));
  }
  return uid;
}

Result<void> sync_to_storage(int fd, std::string_view context) {
  // fsync leaves data in the drive's cache on macOS; F_FULLFSYNC does not.
  // File systems that cannot do it (some network ones) get fsync.
  if (retry_on_eintr([&] { return ::fcntl(fd, F_FULLFSYNC); }) == 0) return {};
  if (retry_on_eintr([&] { return ::fsync(fd); }) != 0) {
    return fail(maintenance_unavailable(context, errno));
  }
  return {};
}

int rename_without_replacing(int directory_fd, const std::string& from,
                             const std::string& to) {
  return ::renameatx_np(directory_fd, from.c_str(), directory_fd, to.c_str(),
                        RENAME_EXCL) == 0
             ? 0
             : errno;
}

}  // namespace ravik
