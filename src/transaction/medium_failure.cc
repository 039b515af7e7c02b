#include "transaction/medium_failure.h"

#include <cctype>
#include <cerrno>
#include <string>
#include <system_error>

#include "error/byte_size.h"

namespace ravik {

bool is_medium_failure(const IoError& error) {
  return error.kind == IoErrorKind::kOther && error.os_error == EIO;
}

HelperError medium_failure_at(ErrorCode code, std::string_view failed_to,
                              std::uint64_t offset, const IoError& error) {
  // The system's text inside a sentence: "input/output error".
  std::string text = std::error_code(error.os_error, std::generic_category()).message();
  if (!text.empty()) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  return HelperError(code, "The stick failed to " + std::string(failed_to) + " at " +
                               format_bytes(offset) + " (" + text +
                               "): it is probably damaged.");
}

}  // namespace ravik
