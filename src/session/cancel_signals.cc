#include "session/cancel_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "io/system_descriptors.h"

namespace ravik {
namespace {

std::atomic<bool> g_cancel_flag{false};
static_assert(std::atomic<bool>::is_always_lock_free);

std::atomic<int> g_wake_write_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void write_wake_byte() {
  const int wake_fd = g_wake_write_fd.load();
  if (wake_fd < 0) return;
  const int saved_errno = errno;
  const std::uint8_t byte = 1;
  // A full pipe already holds a wake-up.
  [[maybe_unused]] const ssize_t ignored = ::write(wake_fd, &byte, 1);
  errno = saved_errno;
}

void store_cancel(int, siginfo_t*, void*) {
  g_cancel_flag.store(true);
  write_wake_byte();
}

bool install_one(int signal_number) {
  struct sigaction action = {};
  action.sa_sigaction = store_cancel;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  return ::sigaction(signal_number, &action, nullptr) == 0;
}

}  // namespace

std::shared_ptr<std::atomic<bool>> process_cancel_flag() {
  return std::shared_ptr<std::atomic<bool>>(std::shared_ptr<void>(), &g_cancel_flag);
}

Result<int> cancel_wake_descriptor() {
  static int read_end = -1;
  if (read_end >= 0) return read_end;
  auto ends = cloexec_pipe(/*nonblocking=*/true);
  if (!ends) {
    return fail(HelperError::io(codes::kUnknown,
                                "Could not install cancellation handlers", errno));
  }
  // Both ends live as long as the process: the signal handler writes to one.
  read_end = ends->first.release();
  g_wake_write_fd.store(ends->second.release());
  return read_end;
}

void wake_cancel_waiters() { write_wake_byte(); }

Result<void> install_cancel_signal_handlers() {
  for (int signal_number : {SIGTERM, SIGINT}) {
    if (!install_one(signal_number)) {
      return fail(HelperError::io(codes::kUnknown,
                                  "Could not install cancellation handlers", errno));
    }
  }
  return {};
}

}  // namespace ravik
