// Error values of the FAT library: every fallible operation returns
// Result<T>, either its value or an Error with a kind a caller can branch on
// (a missing file is kNotFound and nothing else is) and a lower-case English
// text that a caller can put after its own context ("...: {text}").
// Values; thread-compatible.
#ifndef RAVIK_FATFS_ERROR_H_
#define RAVIK_FATFS_ERROR_H_

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace fatfs {

enum class ErrorKind {
  kNotFound,      // the named file does not exist
  kInvalidInput,  // the caller asked for something impossible or malformed
  kCorrupt,       // the volume's structures are inconsistent or impossible
  kNoSpace,       // no free cluster or directory entry is left
  kIo,            // the underlying stream failed or ended early
  kCanceled,      // the caller stopped the operation before it took effect
};

struct Error {
  ErrorKind kind = ErrorKind::kIo;
  std::string text;
};

// "not-found", "invalid-input", "corrupt", "no-space", "io" or "canceled".
std::string_view kind_name(ErrorKind kind);

// An Error as a std::unexpected, ready to be returned from a Result function.
inline std::unexpected<Error> fail(ErrorKind kind, std::string text) {
  return std::unexpected(Error{kind, std::move(text)});
}

// [[nodiscard]] so that an ignored error is a warning (an error under
// -Werror); std::expected in libstdc++ 12 is not marked.
template <class T>
class [[nodiscard]] Result : public std::expected<T, Error> {
 public:
  using std::expected<T, Error>::expected;
};

}  // namespace fatfs

// Returns the error of `expr` from the enclosing function, if it has one.
#define FATFS_TRY(expr)                                         \
  do {                                                          \
    if (auto fatfs_result_ = (expr); !fatfs_result_)            \
      return std::unexpected(std::move(fatfs_result_).error()); \
  } while (0)

// Declares `var` from the value of `expr`, or returns its error.
#define FATFS_ASSIGN_OR_RETURN(var, expr)                                       \
  auto var##_result_ = (expr);                                                  \
  if (!var##_result_) return std::unexpected(std::move(var##_result_).error()); \
  auto var = std::move(var##_result_).value()

#endif  // RAVIK_FATFS_ERROR_H_
