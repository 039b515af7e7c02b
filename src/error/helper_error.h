// HelperError, the one error type of the helper, and Result<T>.
//
// Every operation returns its value or a HelperError: a static code from the
// closed vocabulary (error_code.h), an owned message written at the failure
// site for people, and a cause for the code that must tell kinds of failure
// apart. Operating-system errors are folded into the message when the error
// is made; no errno or cause chain is kept. Values are move-only in spirit (copy
// is allowed but never needed) and thread-compatible.
#ifndef RAVIK_ERROR_HELPER_ERROR_H_
#define RAVIK_ERROR_HELPER_ERROR_H_

#include <cstdint>
#include <expected>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "error/error_code.h"

namespace ravik {

// The message of the UNKNOWN error with which a mode ends when memory runs
// out, in whichever thread that happens.
inline constexpr std::string_view kOutOfMemoryMessage = "The helper ran out of memory.";

// The kind of failure, where code decides by it. Internal: it never reaches
// the wire or a message, and messages are never matched to find it.
enum class ErrorCause : std::uint8_t {
  kUnclassified,
  // The application aborted the source stream (its abort frame), as opposed
  // to a cancel or a failed read.
  kSourceAborted,
};

class HelperError {
 public:
  HelperError(ErrorCode code, std::string message,
              ErrorCause cause = ErrorCause::kUnclassified)
      : message_(std::move(message)), code_(code), cause_(cause) {}

  // "{context}: {system text} (os error N)" for an OS error number.
  static HelperError io(ErrorCode code, std::string_view context, int os_error);

  // "{context}: {text}" for an I/O failure the helper detected itself (an
  // unexpected end of stream, a short transfer) and described in words.
  static HelperError io_text(ErrorCode code, std::string_view context,
                             std::string_view text);

  ErrorCode code() const { return code_; }
  const std::string& message() const { return message_; }
  ErrorCause cause() const { return cause_; }

  // This error, classified.
  HelperError with_cause(ErrorCause cause) && {
    cause_ = cause;
    return std::move(*this);
  }

  // Display writes the message only, never the code.
  friend std::ostream& operator<<(std::ostream& out, const HelperError& error) {
    return out << error.message_;
  }

 private:
  std::string message_;
  ErrorCode code_;
  ErrorCause cause_;
};

// The standard rendering of an OS error number: "{strerror text} (os error N)".
std::string os_error_text(int os_error);

// std::expected marked [[nodiscard]], so that an ignored error is a warning
// (an error under -Werror). libstdc++ 12's std::expected is not.
template <class T>
class [[nodiscard]] Result : public std::expected<T, HelperError> {
 public:
  using std::expected<T, HelperError>::expected;
  Result(std::expected<T, HelperError> other)  // NOLINT: implicit on purpose
      : std::expected<T, HelperError>(std::move(other)) {}
};

inline std::unexpected<HelperError> fail(ErrorCode code, std::string message) {
  return std::unexpected(HelperError(code, std::move(message)));
}

inline std::unexpected<HelperError> fail(HelperError error) {
  return std::unexpected(std::move(error));
}

}  // namespace ravik

// Returns the error of `expr` (a Result) from the enclosing function.
#define RAVIK_RETURN_IF_ERROR(expr)                             \
  do {                                                          \
    if (auto ravik_result_ = (expr); !ravik_result_)            \
      return std::unexpected(std::move(ravik_result_).error()); \
  } while (0)

#define RAVIK_CONCAT_INNER_(a, b) a##b
#define RAVIK_CONCAT_(a, b) RAVIK_CONCAT_INNER_(a, b)

// Declares `lhs` from the value of `expr` (a Result), or returns its error.
#define RAVIK_ASSIGN_OR_RETURN(lhs, expr) \
  RAVIK_ASSIGN_OR_RETURN_IMPL_(RAVIK_CONCAT_(ravik_result_, __LINE__), lhs, expr)
#define RAVIK_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr)        \
  auto tmp = (expr);                                        \
  if (!tmp) return std::unexpected(std::move(tmp).error()); \
  lhs = std::move(tmp).value()

#endif  // RAVIK_ERROR_HELPER_ERROR_H_
