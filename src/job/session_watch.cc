#include "job/session_watch.h"

#include <signal.h>

#include <algorithm>
#include <optional>

#include "job/helper_process.h"
#include "job/signal_relay.h"

namespace ravik::job {
namespace {

// How long a cancelled helper has to answer before it is killed.
constexpr std::chrono::seconds kCancelGrace{3};
// After the user's interrupt, how long a helper may stay silent: a helper
// that answers goes on winding its session down, one stuck in the kernel on a
// hung disk is killed and left, so that the job ends within a second.
constexpr std::chrono::milliseconds kInterruptGrace{500};
constexpr std::chrono::milliseconds kLookInterval{100};

}  // namespace

void SessionWatch::watch(pid_t pid, bool own_group, int give_up_fd) {
  std::lock_guard lock(mutex_);
  pid_ = pid;
  own_group_ = own_group;
  give_up_fd_ = give_up_fd;
  touch();
}

void SessionWatch::forget() {
  std::lock_guard lock(mutex_);
  pid_ = 0;
  give_up_fd_ = -1;
  finished_ = true;
}

void SessionWatch::kill_and_give_up() {
  (void)signal(SIGKILL);
  std::lock_guard lock(mutex_);
  if (give_up_fd_ >= 0) give_up_helper(give_up_fd_);
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
      if (interrupted) {
        if (now - std::max(watch.last_activity(), *canceled[i]) >= kInterruptGrace) {
          watch.kill_and_give_up();
        }
        continue;
      }
      // Answered: the helper is winding its session down.
      if (watch.last_activity() > *canceled[i]) continue;
      if (now - *canceled[i] >= kCancelGrace) watch.kill_and_give_up();
    }
  }
}

}  // namespace ravik::job
