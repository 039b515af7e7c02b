// The process-wide cancellation flag and the SIGINT/SIGTERM handlers that set
// it.
//
// Thread-safe and async-signal-safe: the flag is a lock-free atomic and the
// handlers do nothing but store true into it and write one byte to a wake
// pipe. They are the one piece of global mutable state of the session,
// because a signal handler can reach nothing else.
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

// The read end of the process's cancellation wake pipe: the handlers write a
// byte to it after they set the flag, so that a read of the session's input
// waiting on it (FdInput) gives way at once. Created on the first call
// (close-on-exec, non-blocking) and kept for the rest of the process. Called
// by the session's start-up thread before the handlers are installed.
Result<int> cancel_wake_descriptor();

// Wakes a read waiting on the wake pipe as a cancellation signal does, without
// setting the flag. Thread-safe; does nothing before cancel_wake_descriptor.
void wake_cancel_waiters();

// Installs the handlers for SIGTERM, then SIGINT, with SA_SIGINFO and
// SA_RESTART so that interrupted blocking reads and writes resume. They stay
// for the rest of the process. On failure a handler may already be installed
// for SIGTERM.
Result<void> install_cancel_signal_handlers();

}  // namespace ravik

#endif  // RAVIK_SESSION_CANCEL_SIGNALS_H_
