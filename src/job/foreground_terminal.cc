#include "job/foreground_terminal.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace ravik::job {

std::unique_ptr<ForegroundTerminal> ForegroundTerminal::acquire() {
  UniqueFd terminal(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!terminal) return nullptr;
  const pid_t own_group = ::getpgrp();
  if (::tcgetpgrp(terminal.get()) != own_group) return nullptr;
  return std::unique_ptr<ForegroundTerminal>(
      new ForegroundTerminal(std::move(terminal), own_group));
}

void ForegroundTerminal::lend_to(pid_t group) {
  if (::tcsetpgrp(terminal_.get(), group) == 0) lent_.store(true);
}

void ForegroundTerminal::take_back() {
  if (!lent_.exchange(false)) return;
  // From the background, tcsetpgrp raises SIGTTOU, which would stop us; a
  // blocked SIGTTOU lets the call through. The mask is per thread.
  sigset_t ttou;
  sigset_t previous;
  ::sigemptyset(&ttou);
  ::sigaddset(&ttou, SIGTTOU);
  ::pthread_sigmask(SIG_BLOCK, &ttou, &previous);
  (void)::tcsetpgrp(terminal_.get(), own_group_);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace ravik::job
