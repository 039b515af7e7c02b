#include "io/fd_stream.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "io/eintr.h"

namespace ravik {

namespace {

// Waits until `fd` or `wake_fd` is readable; true when woken.
IoResult<bool> wait_readable(int fd, int wake_fd) {
  pollfd polled[2] = {{.fd = fd, .events = POLLIN, .revents = 0},
                      {.fd = wake_fd, .events = POLLIN, .revents = 0}};
  if (retry_on_eintr([&] { return ::poll(polled, 2, -1); }) < 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  if ((polled[1].revents & POLLIN) == 0) return false;
  std::uint8_t pending[64];
  while (::read(wake_fd, pending, sizeof pending) > 0) {
  }
  return true;
}

}  // namespace

IoResult<std::size_t> FdInput::read(std::span<std::uint8_t> buffer) {
  if (wake_fd_ >= 0) {
    auto woken = wait_readable(fd_.get(), wake_fd_);
    if (!woken) return std::unexpected(std::move(woken).error());
    if (*woken) return std::unexpected(IoError::from_errno(EINTR));
  }
  const ssize_t count =
      retry_on_eintr([&] { return ::read(fd_.get(), buffer.data(), buffer.size()); });
  if (count < 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::size_t>(count);
}

IoResult<std::size_t> FdOutput::write_some(std::span<const std::uint8_t> data) {
  const ssize_t count =
      retry_on_eintr([&] { return ::write(fd_.get(), data.data(), data.size()); });
  if (count < 0) return std::unexpected(IoError::from_errno(errno));
  if (count == 0) {
    return std::unexpected(
        IoError::with_text(IoErrorKind::kOther, "output accepted no bytes"));
  }
  return static_cast<std::size_t>(count);
}

IoResult<std::size_t> DescriptorByteSource::read(std::span<std::uint8_t> buffer) {
  const ssize_t count = ::read(fd_, buffer.data(), buffer.size());
  if (count < 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::size_t>(count);
}

}  // namespace ravik
