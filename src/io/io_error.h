// IoError: an I/O failure with a kind, as byte streams report it before a
// consumer turns it into a HelperError. The kinds let the image writer tell a
// canceled stream (connection aborted) from a retryable one (interrupted) and
// from a failure to read the source. Values; thread-compatible.
#ifndef RAVIK_IO_IO_ERROR_H_
#define RAVIK_IO_IO_ERROR_H_

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "error/helper_error.h"

namespace ravik {

enum class IoErrorKind {
  kInvalidData,
  kUnexpectedEof,
  kConnectionAborted,
  kInterrupted,
  kOther,  // a failure of the underlying descriptor, carried by its errno
};

struct IoError {
  IoErrorKind kind = IoErrorKind::kOther;
  // The OS error number for failures of a descriptor, 0 for errors the
  // helper detected itself (which carry `text`).
  int os_error = 0;
  std::string text;

  static IoError from_errno(int os_error);
  static IoError with_text(IoErrorKind kind, std::string text);

  // The standard rendering: "{system text} (os error N)" for an OS error,
  // otherwise the text.
  std::string describe() const;

  // The HelperError a consumer reports for this failure:
  // "{context}: {describe()}" with `code`.
  HelperError to_helper_error(ErrorCode code, std::string_view context) const;
};

// std::expected marked [[nodiscard]] like Result: an ignored I/O failure is a
// warning (an error under -Werror).
template <class T>
class [[nodiscard]] IoResult : public std::expected<T, IoError> {
 public:
  using std::expected<T, IoError>::expected;
  IoResult(std::expected<T, IoError> other)  // NOLINT: implicit on purpose
      : std::expected<T, IoError>(std::move(other)) {}
};

}  // namespace ravik

#endif  // RAVIK_IO_IO_ERROR_H_
