#include "io/write_all.h"

#include <unistd.h>

#include <cerrno>

#include "io/eintr.h"

namespace ravik {

IoResult<void> write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written =
        retry_on_eintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (written < 0) return std::unexpected(IoError::from_errno(errno));
    if (written == 0) {
      return std::unexpected(
          IoError::with_text(IoErrorKind::kOther, "failed to write whole buffer"));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return {};
}

IoResult<void> write_all(int fd, std::string_view text) {
  return write_all(
      fd, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace ravik
