// The cross-process lock hold: an application process holds an exclusive
// flock on a private lock file for exactly as long as it keeps the helper's
// standard input open. If the owner dies, its end of the pipe closes, the
// helper sees end of file, releases the lock and exits; a second holder of the
// same file learns at once that the lock is taken instead of waiting.
//
// Single-threaded: the functions use the descriptors they are given and keep
// no state between calls.
#ifndef RAVIK_MAIN_CROSS_PROCESS_LOCK_HOLD_H_
#define RAVIK_MAIN_CROSS_PROCESS_LOCK_HOLD_H_

#include <string_view>

#include "error/helper_error.h"

namespace ravik {

inline constexpr std::string_view kCrossProcessLockProtocol =
    "ravik-flasher-cross-process-lock-v1";

enum class CrossProcessLockStatus { kReady, kContended };

// The status line, line feed included: a compact JSON object with its keys
// in alphabetical order.
std::string_view cross_process_lock_status_line(CrossProcessLockStatus status);

// Writes one status line to `output_fd` in a single write, so a reader never
// sees part of a line.
Result<void> write_cross_process_lock_status(int output_fd,
                                             CrossProcessLockStatus status);

// The mode over explicit descriptors. Opens the existing lock file at `path`
// (never creating it), refuses it unless it is a private, singly linked
// regular file owned by this user, and tries once to lock it. Contended: the
// "contended" line is written and the result is success. Locked: the "ready"
// line is written, `input_fd` is read and discarded until end of file, and
// the lock is released. The lock file descriptor is closed on every path out,
// so a failure never leaves the lock held.
Result<void> hold_cross_process_lock(std::string_view path, int input_fd, int output_fd);

// The mode as the command line runs it, over standard input and output.
Result<void> run_cross_process_lock_hold(std::string_view path);

}  // namespace ravik

#endif  // RAVIK_MAIN_CROSS_PROCESS_LOCK_HOLD_H_
