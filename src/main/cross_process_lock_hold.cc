#include "main/cross_process_lock_hold.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "confinement/confinement.h"
#include "confinement/file_confinement.h"
#include "io/eintr.h"
#include "io/unique_fd.h"
#include "io/write_all.h"

namespace ravik {
namespace {

constexpr std::string_view kUnsafeFileMessage =
    "Cross-process lock file must be a private, singly linked regular file owned by "
    "this user.";

HelperError unavailable(std::string_view context, int os_error) {
  return HelperError::io(codes::kLockUnavailable, context, os_error);
}

// O_NOCTTY and O_NONBLOCK matter only for what is refused after the open: a
// path naming a terminal must not become our controlling terminal, and one
// naming a FIFO or a serial device must not block the open. Neither changes
// anything for a regular file, and flock ignores O_NONBLOCK.
Result<UniqueFd> open_lock_file(std::string_view path) {
  const std::string terminated(path);
  const int fd =
      ::open(terminated.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return fail(unavailable("Could not open cross-process lock file", errno));
  return UniqueFd(fd);
}

Result<void> check_lock_file(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return fail(unavailable("Could not inspect cross-process lock file", errno));
  }
  const bool safe = S_ISREG(status.st_mode) && status.st_nlink == 1 &&
                    (status.st_mode & 077) == 0 && status.st_uid == ::geteuid();
  if (!safe) return fail(codes::kLockUnsafe, std::string(kUnsafeFileMessage));
  return {};
}

// Reads and discards `input_fd` until end of file.
Result<void> wait_for_end_of_input(int input_fd) {
  char discarded[1024];
  while (true) {
    const ssize_t got =
        retry_on_eintr([&] { return ::read(input_fd, discarded, sizeof(discarded)); });
    if (got == 0) return {};
    if (got > 0) continue;
    if (errno == EAGAIN) {
      // The owner may hand us a non-blocking pipe; its end of file is what
      // we are waiting for, not an error.
      pollfd entry{input_fd, POLLIN, 0};
      if (retry_on_eintr([&] { return ::poll(&entry, 1, -1); }) >= 0) continue;
    }
    return fail(unavailable("Could not monitor the cross-process lock owner", errno));
  }
}

}  // namespace

std::string_view cross_process_lock_status_line(CrossProcessLockStatus status) {
  // The protocol and status texts are fixed ASCII, so the JSON is written out
  // rather than encoded at run time.
  static_assert(kCrossProcessLockProtocol == "ravik-flasher-cross-process-lock-v1");
  switch (status) {
    case CrossProcessLockStatus::kReady:
      return "{\"protocol\":\"ravik-flasher-cross-process-lock-v1\",\"status\":\"ready\"}"
             "\n";
    case CrossProcessLockStatus::kContended:
      break;
  }
  return "{\"protocol\":\"ravik-flasher-cross-process-lock-v1\",\"status\":\"contended\"}"
         "\n";
}

Result<void> write_cross_process_lock_status(int output_fd,
                                             CrossProcessLockStatus status) {
  auto written = write_all(output_fd, cross_process_lock_status_line(status));
  if (!written) {
    return fail(written.error().to_helper_error(codes::kLockUnavailable,
                                                "Could not write lock status"));
  }
  return {};
}

Result<void> hold_cross_process_lock(std::string_view path, int input_fd, int output_fd) {
  if (!path.starts_with('/')) {
    return fail(codes::kLockUnsafe, "Cross-process lock path must be absolute.");
  }
  RAVIK_ASSIGN_OR_RETURN(UniqueFd lock_file, open_lock_file(path));
  drop_capabilities();
  close_file_access();
  RAVIK_RETURN_IF_ERROR(check_lock_file(lock_file.get()));

  if (::flock(lock_file.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return write_cross_process_lock_status(output_fd,
                                             CrossProcessLockStatus::kContended);
    }
    return fail(unavailable("Could not acquire cross-process lock", errno));
  }
  RAVIK_RETURN_IF_ERROR(
      write_cross_process_lock_status(output_fd, CrossProcessLockStatus::kReady));
  RAVIK_RETURN_IF_ERROR(wait_for_end_of_input(input_fd));
  if (::flock(lock_file.get(), LOCK_UN) != 0) {
    return fail(unavailable("Could not release cross-process lock", errno));
  }
  return {};
}

Result<void> run_cross_process_lock_hold(std::string_view path) {
  return hold_cross_process_lock(path, STDIN_FILENO, STDOUT_FILENO);
}

}  // namespace ravik
