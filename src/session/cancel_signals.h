// The process-wide cancellation flag and the SIGINT/SIGTERM handlers that set
// it.
//
// Thread-safe and async-signal-safe: the flag is a lock-free atomic and the
// handlers do nothing but store true into it. It is the one piece of global
// mutable state of the session, because a signal handler can reach nothing
// else.
#ifndef RAVIK_SESSION_CANCEL_SIGNALS_H_
#define RAVIK_SESSION_CANCEL_SIGNALS_H_

#include <atomic>
#include <memory>

#include "error/helper_error.h"

namespace ravik {

// The flag of this process's device session (one session per process). The
// returned pointer shares nothing and deletes nothing: the flag has static
// storage, which the signal handlers need.
std::shared_ptr<std::atomic<bool>> process_cancel_flag();

// Installs the handlers for SIGTERM, then SIGINT, with SA_SIGINFO and
// SA_RESTART so that interrupted blocking reads and writes resume. They stay
// for the rest of the process. On failure a handler may already be installed
// for SIGTERM.
Result<void> install_cancel_signal_handlers();

}  // namespace ravik

#endif  // RAVIK_SESSION_CANCEL_SIGNALS_H_
