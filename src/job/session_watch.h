// Keeps helper sessions from holding a job for ever. Each session reports
// its helper and every sign of life (progress, events) to its SessionWatch;
// a SessionWatchdog thread gives up a session that showed none for the stall
// limit by cancelling its helper (SIGINT, which the helper answers by
// cancelling its operation), and kills the helper's process (its group, when
// it leads one) when the cancel is not answered either. After the user's
// interrupt, which the signal relay passes to every helper, the same grace
// applies to each, so one Ctrl-C ends the job promptly even with a helper
// that no longer runs.
//
// Thread-safe: a watch is shared by its session's threads and the watchdog.
#ifndef RAVIK_JOB_SESSION_WATCH_H_
#define RAVIK_JOB_SESSION_WATCH_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "job/job_events.h"

namespace ravik::job {

class SessionWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // The helper runs as `pid`, leading a process group of its own when
  // `own_group`; until forget(), it may be signalled, and given up through
  // `give_up_fd` (HelperProcess::give_up_fd()).
  void watch(pid_t pid, bool own_group, int give_up_fd);
  // Before the helper is reaped, after which its pid may name another
  // process; the session is over and no longer watched.
  void forget();
  bool finished() const { return finished_.load(); }
  void touch() { last_activity_.store(Clock::now().time_since_epoch().count()); }
  Clock::time_point last_activity() const {
    return Clock::time_point(Clock::duration(last_activity_.load()));
  }
  // Sends `signal` to the helper (to its group for SIGKILL); false when none
  // is watched.
  bool signal(int signal);
  // Kills the helper and ends every wait of the session on it, so that its
  // threads return whatever state the helper is in.
  void kill_and_give_up();
  // The session was given up for showing no progress.
  bool given_up() const { return given_up_.load(); }
  void mark_given_up() { given_up_ = true; }

 private:
  std::mutex mutex_;
  pid_t pid_ = 0;
  bool own_group_ = false;
  int give_up_fd_ = -1;
  std::atomic<Clock::rep> last_activity_{Clock::now().time_since_epoch().count()};
  std::atomic<bool> given_up_{false};
  std::atomic<bool> finished_{false};
};

// A progress sink that counts every sample and every event as a sign of
// life of its session before passing it on.
class WatchedSink : public ProgressSink {
 public:
  WatchedSink(ProgressSink& inner, SessionWatch& watch) : inner_(inner), watch_(watch) {}
  void update(const ProgressSample& sample) override {
    watch_.touch();
    inner_.update(sample);
  }
  void finish() override {
    watch_.touch();
    inner_.finish();
  }

 private:
  ProgressSink& inner_;
  SessionWatch& watch_;
};

class SessionWatchdog {
 public:
  // The watches must outlive this; stop() or the destructor ends the thread.
  SessionWatchdog(std::vector<SessionWatch*> watches, std::chrono::seconds stall_limit);
  SessionWatchdog(const SessionWatchdog&) = delete;
  SessionWatchdog& operator=(const SessionWatchdog&) = delete;
  ~SessionWatchdog();

 private:
  void run();

  std::vector<SessionWatch*> watches_;
  std::chrono::seconds stall_limit_;
  std::mutex mutex_;
  std::condition_variable stopping_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace ravik::job

#endif  // RAVIK_JOB_SESSION_WATCH_H_
