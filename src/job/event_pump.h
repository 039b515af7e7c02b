// EventPump: reads the helper's event lines on a thread of its own, so that
// the helper never blocks on a full output pipe while the client is busy
// streaming the image. Progress events go straight to the display (or, with
// --json, every event line goes to standard output as it arrives); every
// other event is queued for the job, which waits for them one at a time.
// A line that is not a JSON object is skipped (echoed with --json): the job
// judges the session by the events it awaits, and a missing one fails it.
//
// Thread-safe: next() and session_failure_seen() may be called from the
// job's thread while the pump's thread runs. The pump is the only user of
// the display and of the helper's output.
#ifndef RAVIK_JOB_EVENT_PUMP_H_
#define RAVIK_JOB_EVENT_PUMP_H_

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "job/helper_process.h"
#include "job/job_events.h"
#include "job/wire.h"

namespace ravik::job {

// Writes `text` and a line feed to `fd`, retrying short and interrupted
// writes. A failed write to standard output is remembered (see
// standard_output_error); elsewhere (progress, messages) it is dropped.
void write_text_line(int fd, std::string text);
// The same for bytes the user asked for as they are (a boot file).
void write_output(int fd, std::string_view bytes);
// The first error met writing standard output, 0 while there was none.
int standard_output_error();

class EventPump {
 public:
  // Not owned; `helper`, `display` and `echo` must outlive this. An `echo`
  // is told every event line as it arrives.
  EventPump(HelperProcess& helper, ProgressSink& display, JobObserver* echo);
  EventPump(const EventPump&) = delete;
  EventPump& operator=(const EventPump&) = delete;
  // Joins the thread, which ends when the helper's output ends.
  ~EventPump();

  // The next event that is not progress; nothing once the output has ended
  // and every queued event was taken.
  std::optional<HelperEvent> next();

  // True once an error event that does not retain the session arrived: the
  // helper is waiting for the application's abort frame, or ending.
  bool session_failure_seen() const { return session_failure_seen_.load(); }

 private:
  void run();

  HelperProcess& helper_;
  ProgressSink& display_;
  JobObserver* echo_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<HelperEvent> queue_;
  bool ended_ = false;
  std::atomic<bool> session_failure_seen_{false};
  std::thread thread_;
};

}  // namespace ravik::job

#endif  // RAVIK_JOB_EVENT_PUMP_H_
