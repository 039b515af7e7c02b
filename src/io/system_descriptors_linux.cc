// Linux: each descriptor is born close-on-exec.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

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
  return UniqueFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

void close_descriptors_above_standard_error() {
  if (::close_range(STDERR_FILENO + 1, ~0U, 0) == 0) return;
  // Kernels before 5.9: the open ones as the process's descriptor table
  // lists them (the descriptor limit may be a billion).
  std::vector<int> inherited;
  if (DIR* directory = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(directory)) {
      const int fd = std::atoi(entry->d_name);
      if (fd > STDERR_FILENO && fd != ::dirfd(directory)) inherited.push_back(fd);
    }
    ::closedir(directory);
  }
  for (const int fd : inherited) ::close(fd);
}

}  // namespace ravik
