#include "io/io_error.h"

#include <cerrno>

namespace ravik {

IoError IoError::from_errno(int os_error) {
  return IoError{
      .kind = os_error == EINTR ? IoErrorKind::kInterrupted : IoErrorKind::kOther,
      .os_error = os_error,
      .text = {}};
}

IoError IoError::with_text(IoErrorKind kind, std::string text) {
  return IoError{.kind = kind, .os_error = 0, .text = std::move(text)};
}

std::string IoError::describe() const {
  return os_error != 0 ? os_error_text(os_error) : text;
}

HelperError IoError::to_helper_error(ErrorCode code, std::string_view context) const {
  return HelperError::io_text(code, context, describe());
}

}  // namespace ravik
