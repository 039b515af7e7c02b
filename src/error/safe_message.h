// safe_message: the filter every text passes before it leaves the process in
// an event, a status line or the final standard-error line. Thread-safe.
#ifndef RAVIK_ERROR_SAFE_MESSAGE_H_
#define RAVIK_ERROR_SAFE_MESSAGE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace ravik {

inline constexpr std::size_t kSafeMessageMaxBytes = 16384;
inline constexpr std::string_view kBlankMessageReplacement =
    "The helper operation failed.";

// Returns `text` on one line (CR, LF and NUL become spaces), cut at a
// character boundary to at most 16384 bytes, or the fixed replacement when
// nothing but white space remains. Bytes that are not UTF-8 (an OS text in a
// foreign encoding, say) become U+FFFD so that the output is always UTF-8.
std::string safe_message(std::string_view text);

}  // namespace ravik

#endif  // RAVIK_ERROR_SAFE_MESSAGE_H_
