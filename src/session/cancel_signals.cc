#include "session/cancel_signals.h"

#include <signal.h>

#include <cerrno>

namespace ravik {
namespace {

std::atomic<bool> g_cancel_flag{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void store_cancel(int, siginfo_t*, void*) { g_cancel_flag.store(true); }

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
