#include "job/signal_relay.h"

#include <signal.h>

#include <array>
#include <atomic>
#include <mutex>

namespace ravik::job::signal_relay {
namespace {

std::array<std::atomic<pid_t>, 64> helpers{};
static_assert(std::atomic<pid_t>::is_always_lock_free);
std::atomic<bool> interrupt_seen{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void relay(int signal) {
  interrupt_seen.store(true);
  bool relayed = false;
  for (const std::atomic<pid_t>& helper : helpers) {
    const pid_t pid = helper.load();
    if (pid > 0 && ::kill(pid, signal) == 0) relayed = true;
  }
  // The disposition is back at its default (SA_RESETHAND): with nobody to
  // stop, the signal ends the client as it would have without the relay.
  if (!relayed) ::raise(signal);
}

void install_handlers() {
  struct sigaction action {};
  action.sa_handler = relay;
  action.sa_flags = SA_RESETHAND | SA_RESTART;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

void add(pid_t helper) {
  static std::once_flag installed;
  std::call_once(installed, install_handlers);
  for (std::atomic<pid_t>& slot : helpers) {
    pid_t empty = 0;
    if (slot.compare_exchange_strong(empty, helper)) return;
  }
}

bool interrupted() { return interrupt_seen.load(); }

void cancel() {
  interrupt_seen.store(true);
  for (const std::atomic<pid_t>& helper : helpers) {
    const pid_t pid = helper.load();
    if (pid > 0) (void)::kill(pid, SIGINT);
  }
}

void new_job() { interrupt_seen.store(false); }

void remove(pid_t helper) {
  for (std::atomic<pid_t>& slot : helpers) {
    pid_t expected = helper;
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

}  // namespace ravik::job::signal_relay
