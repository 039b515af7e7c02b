// TerminalObserver: a job's events as the command line shows them: results
// on standard output, progress (a bar or a board on a terminal), failures and
// the question before a disk is overwritten on standard error, the answer
// read from the terminal.
//
// Thread-safe as JobObserver asks; one per job.
#ifndef RAVIK_CLI_TERMINAL_OBSERVER_H_
#define RAVIK_CLI_TERMINAL_OBSERVER_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "job/job_events.h"
#include "job/job_options.h"

namespace ravik::cli {

class TerminalObserver : public job::JobObserver {
 public:
  // Results on `out_fd`, the rest on `err_fd`, a terminal when
  // `err_is_terminal`; `options` (not owned, outlives this) says --json and
  // --quiet.
  TerminalObserver(const job::JobOptions& options, int out_fd, int err_fd,
                   bool err_is_terminal)
      : options_(options),
        out_fd_(out_fd),
        err_fd_(err_fd),
        err_is_terminal_(err_is_terminal) {}

  void notice(job::NoticeKind kind, std::string_view line) override;
  void output(job::NoticeKind kind, std::string_view text) override;
  std::unique_ptr<job::ProgressSink> new_progress() override;
  std::unique_ptr<job::DiskBoard> new_board(
      const std::vector<std::string>& labels) override;
  std::optional<std::string> confirm_overwrite(
      const job::OverwriteQuestion& question) override;
  bool wants_helper_events() const override { return options_.json; }

 private:
  int fd_of(job::NoticeKind kind) const {
    return kind == job::NoticeKind::kResult ? out_fd_ : err_fd_;
  }
  int progress_fd() const { return options_.quiet ? -1 : err_fd_; }

  const job::JobOptions& options_;
  int out_fd_;
  int err_fd_;
  bool err_is_terminal_;
};

}  // namespace ravik::cli

#endif  // RAVIK_CLI_TERMINAL_OBSERVER_H_
