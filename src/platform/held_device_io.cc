#include "platform/held_device_io.h"

#include <algorithm>
#include <string>

namespace ravik {

IoError closed_target_io_error() {
  return IoError::with_text(IoErrorKind::kOther, std::string(kClosedTargetText));
}

HelperError closed_target_error(ErrorCode code) {
  return HelperError::io_text(code, kClosedTargetContext, kClosedTargetText);
}

IoResult<void> HeldDeviceIo::read_exact(std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    auto count = read(buffer);
    if (!count) {
      if (count.error().kind == IoErrorKind::kInterrupted) continue;
      return std::unexpected(std::move(count).error());
    }
    if (*count == 0) {
      return std::unexpected(
          IoError::with_text(IoErrorKind::kUnexpectedEof, "failed to fill whole buffer"));
    }
    buffer = buffer.subspan(std::min(*count, buffer.size()));
  }
  return {};
}

IoResult<void> HeldDeviceIo::write_all(std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    auto count = write(data);
    if (!count) {
      if (count.error().kind == IoErrorKind::kInterrupted) continue;
      return std::unexpected(std::move(count).error());
    }
    if (*count == 0) {
      return std::unexpected(
          IoError::with_text(IoErrorKind::kOther, "failed to write whole buffer"));
    }
    data = data.subspan(std::min(*count, data.size()));
  }
  return {};
}

}  // namespace ravik
