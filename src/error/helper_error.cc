#include "error/helper_error.h"

#include <cstring>
#include <string>

namespace ravik {

std::string os_error_text(int os_error) {
  // strerror_r from glibc with _GNU_SOURCE returns a pointer that may or may
  // not be the buffer; both are valid for the duration of this call.
  char buffer[256];
  const char* text = strerror_r(os_error, buffer, sizeof(buffer));
  std::string rendered(text);
  rendered += " (os error ";
  rendered += std::to_string(os_error);
  rendered += ")";
  return rendered;
}

HelperError HelperError::io(ErrorCode code, std::string_view context, int os_error) {
  return io_text(code, context, os_error_text(os_error));
}

HelperError HelperError::io_text(ErrorCode code, std::string_view context,
                                 std::string_view text) {
  std::string message;
  message.reserve(context.size() + 2 + text.size());
  message.append(context);
  message.append(": ");
  message.append(text);
  return HelperError(code, std::move(message));
}

}  // namespace ravik
