// The results and progress reporting of a verification: the held target's
// first bytesTotal bytes hashed and compared with the digest recorded by the
// image write. Plain values; thread-compatible.
#ifndef RAVIK_TRANSACTION_VERIFICATION_H_
#define RAVIK_TRANSACTION_VERIFICATION_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "error/helper_error.h"

namespace ravik {

// Text of every verification progress step, already passed through
// safe_message.
inline constexpr std::string_view kVerifyProgressMessage = "Verifying the held target";

struct VerifyOutcome {
  std::string source_sha256;
  std::string target_sha256;
  std::uint64_t bytes_verified = 0;
  // A mismatch is a result, not an error.
  bool matches = false;
};

// One step of a verification, reported after every 4 MiB hashed.
struct VerifyProgressStep {
  std::uint64_t bytes_processed = 0;
  std::uint64_t bytes_total = 0;
  // bytes_processed per second since the command began; 0 before any time
  // has passed.
  std::uint64_t speed_bps = 0;
  std::string message;
};

// The command's progress context: when it began, the clock its speed is
// measured by, and where its progress steps go. The session's `emit` adds the
// event header and operationId and writes the step as it is; a failure to
// write ends the verification.
struct VerifyProgress {
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::function<Result<void>(const VerifyProgressStep& step)> emit;
  // Must be set; the session passes its own clock.
  std::function<std::chrono::steady_clock::time_point()> now = [] {
    return std::chrono::steady_clock::now();
  };
};

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_VERIFICATION_H_
