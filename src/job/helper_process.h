// HelperProcess: the device helper running as this program's child, its
// standard input, output and error on pipes. Its standard error is passed on
// to ours line by line, except a final "CODE: message" line, held until the
// job says whether it showed that failure itself.
//
// Writing (the main thread) and reading (one event thread) may happen on two
// threads at once; each side is used by one thread. Neither side ever blocks
// for good: both wait in poll() beside the helper's give-up pipe, so a helper
// stuck in the kernel (a hung disk) can be given up from any thread through
// give_up_helper(), after which every write fails, the output ends, and
// wait() reaps the helper only when it has ended (a process that cannot die
// yet is left to end on its own, never waited for). Destroying a running
// child closes its input, which ends its session, and reaps it.
#ifndef RAVIK_JOB_HELPER_PROCESS_H_
#define RAVIK_JOB_HELPER_PROCESS_H_

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/helper_error.h"
#include "io/unique_fd.h"
#include "job/foreground_terminal.h"

namespace ravik::job {

// How the helper is started when not simply as `path` alone.
struct HelperLaunch {
  std::vector<std::string> arguments;  // after argument zero, which is the path
  // The helper leads a process group of its own from its first instruction.
  bool own_process_group = false;
  // Lent to that group until the helper's first output or end (own group only).
  std::unique_ptr<ForegroundTerminal> terminal;
  // Started through sudo, so that sudo's refusal shows as an early end.
  bool elevated = false;
};

class HelperProcess {
 public:
  // Starts `path` without arguments: the device protocol.
  static Result<HelperProcess> start(const std::string& path);
  static Result<HelperProcess> start(const std::string& path, HelperLaunch launch);

  HelperProcess(HelperProcess&& other) noexcept;
  HelperProcess& operator=(HelperProcess&&) = delete;
  HelperProcess(const HelperProcess&) = delete;
  ~HelperProcess();

  pid_t pid() const { return pid_; }
  bool elevated() const { return elevated_; }
  // The descriptor that give_up_helper() takes; valid while this lives.
  int give_up_fd() const { return give_up_write_.get(); }

  // Writes all of `bytes` to the helper's input. Fails (EPIPE) once the
  // helper has stopped reading for good.
  Result<void> write_all(std::string_view bytes);
  // Writes `head` then `payload` as one gathered stream, without copying.
  Result<void> write_frame(std::string_view head, std::string_view payload);
  void close_input() { input_.reset(); }

  // The next line of the helper's output without its line feed; nothing at
  // the end of output (or on a read error, which ends it just the same).
  std::optional<std::string> read_line();

  // Waits for the helper to end: its exit status, or 128 + signal.
  int wait();

  // After wait(): the helper's held failure line goes to standard error
  // unless `shown` (what the job reports) already holds it.
  void pass_failure_line_unless_in(std::string_view shown);

 private:
  HelperProcess(pid_t pid, UniqueFd input, UniqueFd output, UniqueFd errors,
                std::unique_ptr<ForegroundTerminal> terminal, bool elevated,
                std::pair<UniqueFd, UniqueFd> give_up)
      : pid_(pid),
        input_(std::move(input)),
        output_(std::move(output)),
        errors_(std::move(errors)),
        terminal_(std::move(terminal)),
        elevated_(elevated),
        give_up_read_(std::move(give_up.first)),
        give_up_write_(std::move(give_up.second)) {}

  // Passes on what the helper wrote to its standard error so far.
  void relay_errors();
  // Waits until `fd` is ready for `events`; false once the helper was given
  // up, or the wait itself failed.
  bool await(int fd, short events);
  bool given_up() const;

  void take_back_terminal() {
    if (terminal_) terminal_->take_back();
  }

  pid_t pid_ = -1;
  UniqueFd input_;
  UniqueFd output_;
  UniqueFd errors_;
  std::string pending_;
  std::string error_pending_;
  std::optional<std::string> held_failure_line_;
  bool output_ended_ = false;
  std::optional<int> status_;
  std::unique_ptr<ForegroundTerminal> terminal_;
  bool elevated_ = false;
  // Readable once the helper was given up; never drained, so that every
  // later wait sees it too.
  UniqueFd give_up_read_;
  UniqueFd give_up_write_;
};

// Makes every wait on the helper whose give_up_fd() is `fd` return at once,
// from any thread or a signal handler.
void give_up_helper(int fd);

}  // namespace ravik::job

#endif  // RAVIK_JOB_HELPER_PROCESS_H_
