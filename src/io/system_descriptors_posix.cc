// Systems without one-step close-on-exec creation (macOS): the flag is set
// right after the descriptor is made. A fork on another thread between the
// two steps would inherit the descriptor; the helper forks only in its
// maintenance and launcher modes, which run one thread.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "io/eintr.h"
#include "io/system_descriptors.h"

namespace ravik {
namespace {

bool set_close_on_exec(int fd) { return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

bool set_blocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  const int wanted = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
  return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

// Closes `fd` without losing the errno of the step that failed.
void discard(UniqueFd& fd) {
  const int error = errno;
  fd.reset();
  errno = error;
}

}  // namespace

std::optional<std::pair<UniqueFd, UniqueFd>> cloexec_pipe(bool nonblocking) {
  int ends[2];
  if (::pipe(ends) != 0) return std::nullopt;
  UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);
  for (UniqueFd* end : {&read_end, &write_end}) {
    if (!set_close_on_exec(end->get()) ||
        (nonblocking && !set_blocking(end->get(), false))) {
      discard(read_end);
      discard(write_end);
      return std::nullopt;
    }
  }
  return std::pair{std::move(read_end), std::move(write_end)};
}

UniqueFd cloexec_socket(int domain, int type) {
  UniqueFd fd(::socket(domain, type, 0));
  if (fd && !set_close_on_exec(fd.get())) discard(fd);
  return fd;
}

UniqueFd cloexec_accept(int listener) {
  UniqueFd fd(retry_on_eintr([&] { return ::accept(listener, nullptr, nullptr); }));
  if (fd && (!set_close_on_exec(fd.get()) || !set_blocking(fd.get(), true))) discard(fd);
  return fd;
}

void close_descriptors_above_standard_error(std::span<const int> keep) {
  const auto kept = [&](long fd) {
    return std::find(keep.begin(), keep.end(), static_cast<int>(fd)) != keep.end();
  };
  std::vector<int> inherited;
  if (DIR* directory = ::opendir("/dev/fd")) {
    while (const dirent* entry = ::readdir(directory)) {
      const int fd = std::atoi(entry->d_name);
      if (fd > STDERR_FILENO && fd != ::dirfd(directory) && !kept(fd)) {
        inherited.push_back(fd);
      }
    }
    ::closedir(directory);
    for (const int fd : inherited) ::close(fd);
    return;
  }
  const long limit = ::sysconf(_SC_OPEN_MAX);
  for (long fd = STDERR_FILENO + 1; fd < (limit > 0 ? limit : 1024); ++fd) {
    if (!kept(fd)) ::close(static_cast<int>(fd));
  }
}

}  // namespace ravik
