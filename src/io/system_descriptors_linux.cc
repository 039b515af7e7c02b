// Linux: each descriptor is born close-on-exec.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "io/eintr.h"
#include "io/system_descriptors.h"

namespace ravik {

std::optional<std::pair<UniqueFd, UniqueFd>> cloexec_pipe(bool nonblocking) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | (nonblocking ? O_NONBLOCK : 0)) != 0) return std::nullopt;
  return std::pair{UniqueFd(ends[0]), UniqueFd(ends[1])};
}

UniqueFd cloexec_socket(int domain, int type) {
  return UniqueFd(::socket(domain, type | SOCK_CLOEXEC, 0));
}

UniqueFd cloexec_accept(int listener) {
  // Linux never passes the listener's O_NONBLOCK on to the connection.
  return UniqueFd(retry_on_eintr(
      [&] { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }));
}

void close_descriptors_above_standard_error(std::span<const int> keep) {
  std::vector<int> kept(keep.begin(), keep.end());
  std::sort(kept.begin(), kept.end());
  unsigned first = STDERR_FILENO + 1;
  bool closed = true;
  for (const int fd : kept) {
    if (fd < static_cast<int>(first)) continue;
    if (static_cast<unsigned>(fd) > first) {
      closed = closed && ::close_range(first, static_cast<unsigned>(fd) - 1, 0) == 0;
    }
    first = static_cast<unsigned>(fd) + 1;
  }
  closed = closed && ::close_range(first, ~0U, 0) == 0;
  if (closed) return;
  // Refused (kernels before 5.9, or a sandbox): the open ones as the
  // process's descriptor table lists them, since the descriptor limit may
  // be a billion.
  std::vector<int> inherited;
  if (DIR* listing = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(listing)) {
      const int fd = std::atoi(entry->d_name);
      if (fd > STDERR_FILENO && fd != ::dirfd(listing) &&
          !std::binary_search(kept.begin(), kept.end(), fd)) {
        inherited.push_back(fd);
      }
    }
    ::closedir(listing);
  }
  for (const int fd : inherited) ::close(fd);
}

}  // namespace ravik
