// The cancellation test shared by every long transaction operation. The flag
// is set by the session's reader thread and signal path at any time and read
// here with acquire ordering; thread-safe.
#ifndef RAVIK_TRANSACTION_CANCELLATION_H_
#define RAVIK_TRANSACTION_CANCELLATION_H_

#include <atomic>
#include <string_view>

#include "error/helper_error.h"

namespace ravik {

inline constexpr std::string_view kCanceledMessage = "The transaction was canceled.";

// Fails with CANCELED "The transaction was canceled." while the flag is set;
// never clears it.
inline Result<void> check_cancel_flag(const std::atomic<bool>& cancel_flag) {
  if (cancel_flag.load(std::memory_order_acquire)) {
    return fail(codes::kCanceled, std::string(kCanceledMessage));
  }
  return {};
}

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_CANCELLATION_H_
