#include "io/fd_stream.h"

#include <unistd.h>

#include <cerrno>

namespace ravik {

IoResult<std::size_t> FdInput::read(std::span<std::uint8_t> buffer) {
  for (;;) {
    const ssize_t count = ::read(fd_.get(), buffer.data(), buffer.size());
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) return std::unexpected(IoError::from_errno(errno));
  }
}

IoResult<std::size_t> FdOutput::write_some(std::span<const std::uint8_t> data) {
  for (;;) {
    const ssize_t count = ::write(fd_.get(), data.data(), data.size());
    if (count > 0) return static_cast<std::size_t>(count);
    if (count == 0)
      return std::unexpected(
          IoError::with_text(IoErrorKind::kOther, "output accepted no bytes"));
    if (errno != EINTR) return std::unexpected(IoError::from_errno(errno));
  }
}

IoResult<std::size_t> DescriptorByteSource::read(std::span<std::uint8_t> buffer) {
  const ssize_t count = ::read(fd_, buffer.data(), buffer.size());
  if (count < 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::size_t>(count);
}

}  // namespace ravik
