#include "maintenance/guardian_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "error/error_code.h"
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

}  // namespace ravik
