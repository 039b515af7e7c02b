#include "client/session_watch.h"

#include <signal.h>

#include <optional>

#include "client/signal_relay.h"

namespace ravik::client {
namespace {

// How long a cancelled helper has to answer before it is killed.
constexpr std::chrono::seconds kCancelGrace{3};
constexpr std::chrono::milliseconds kLookInterval{100};

}  // namespace

void SessionWatch::watch(pid_t pid, bool own_group) {
  std::lock_guard lock(mutex_);
  pid_ = pid;
  own_group_ = own_group;
  touch();
}

void SessionWatch::forget() {
  std::lock_guard lock(mutex_);
  pid_ = 0;
  finished_ = true;
}

bool SessionWatch::signal(int signal) {
  std::lock_guard lock(mutex_);
  if (pid_ <= 0) return false;
  // A killed sudo leaves its root helper running; the group holds both.
  if (signal == SIGKILL && own_group_ && ::kill(-pid_, signal) == 0) return true;
  return ::kill(pid_, signal) == 0;
}

SessionWatchdog::SessionWatchdog(std::vector<SessionWatch*> watches,
                                 std::chrono::seconds stall_limit)
    : watches_(std::move(watches)),
      stall_limit_(stall_limit),
      thread_([this] { run(); }) {}

SessionWatchdog::~SessionWatchdog() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  stopping_.notify_all();
  thread_.join();
}

void SessionWatchdog::run() {
  using Clock = SessionWatch::Clock;
  // When each session's helper was asked to cancel.
  std::vector<std::optional<Clock::time_point>> canceled(watches_.size());
  std::unique_lock lock(mutex_);
  while (!stopping_.wait_for(lock, kLookInterval, [&] { return stop_; })) {
    const Clock::time_point now = Clock::now();
    const bool interrupted = signal_relay::interrupted();
    for (std::size_t i = 0; i < watches_.size(); ++i) {
      SessionWatch& watch = *watches_[i];
      if (watch.finished()) continue;
      if (!canceled[i]) {
        if (interrupted) {
          canceled[i] = now;  // the relay has sent the interrupt itself
        } else if (now - watch.last_activity() >= stall_limit_) {
          watch.mark_given_up();
          (void)watch.signal(SIGINT);
          canceled[i] = now;
        }
        continue;
      }
      // Answered: the helper is winding its session down.
      if (watch.last_activity() > *canceled[i]) continue;
      if (now - *canceled[i] >= kCancelGrace) (void)watch.signal(SIGKILL);
    }
  }
}

}  // namespace ravik::client
