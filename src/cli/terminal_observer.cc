#include "cli/terminal_observer.h"

#include <fcntl.h>
#include <unistd.h>

#include "cli/progress_board.h"
#include "cli/progress_display.h"
#include "io/unique_fd.h"
#include "job/event_pump.h"

namespace ravik::cli {
namespace {

class TerminalBoard : public job::DiskBoard {
 public:
  TerminalBoard(int fd, bool terminal, const std::vector<std::string>& labels,
                int above_fd)
      : board_(fd, terminal, labels), above_fd_(above_fd) {}
  job::ProgressSink& row(std::size_t index) override { return board_.row(index); }
  void settle_row(std::size_t index, std::string result) override {
    board_.settle_row(index, std::move(result));
  }
  void print_above(const std::string& line) override {
    board_.print_above(above_fd_, line);
  }
  void close() override { board_.close(); }

 private:
  ProgressBoard board_;
  int above_fd_;
};

}  // namespace

void TerminalObserver::notice(job::NoticeKind kind, std::string_view line) {
  job::write_text_line(fd_of(kind), std::string(line));
}

void TerminalObserver::output(job::NoticeKind kind, std::string_view text) {
  job::write_output(fd_of(kind), text);
}

std::unique_ptr<job::ProgressSink> TerminalObserver::new_progress() {
  return std::make_unique<ProgressDisplay>(progress_fd(), err_is_terminal_);
}

std::unique_ptr<job::DiskBoard> TerminalObserver::new_board(
    const std::vector<std::string>& labels) {
  return std::make_unique<TerminalBoard>(progress_fd(), err_is_terminal_, labels,
                                         out_fd_);
}

std::optional<std::string> TerminalObserver::confirm_overwrite(
    const job::OverwriteQuestion& question) {
  if (question.assume_yes) {
    job::write_output(err_fd_, question.unmounted);
    return std::nullopt;
  }
  // An image piped in leaves the terminal to answer on.
  UniqueFd terminal;
  int answer_fd = STDIN_FILENO;
  if (question.image_piped && err_is_terminal_) {
    terminal = UniqueFd(::open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (terminal) answer_fd = terminal.get();
  }
  if (::isatty(answer_fd) != 1 || !err_is_terminal_) {
    return "there is no terminal to ask on before everything on " + question.disks +
           " is " + question.what +
           "; give --yes to go on without asking. Nothing was written.";
  }
  const std::string text =
      "Everything on " +
      (question.disk_count == 1
           ? question.disks
           : "these " + std::to_string(question.disk_count) + " disks") +
      " will be " + question.what + ":\n" + question.details + "Continue? [y/N] ";
  job::write_output(err_fd_, text);
  std::string answer;
  char c = 0;
  while (::read(answer_fd, &c, 1) == 1 && c != '\n') answer.push_back(c);
  if (answer == "y" || answer == "Y" || answer == "yes") return std::nullopt;
  return std::string("not confirmed. Nothing was written.");
}

}  // namespace ravik::cli
