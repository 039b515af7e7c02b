// ForegroundTerminal: the controlling terminal of a client that holds its
// foreground, lent to the process group of a helper started through sudo so
// that sudo may prompt for the password there (a background group reading or
// reconfiguring the terminal would be stopped), and taken back as soon as the
// helper speaks or ends.
//
// take_back() may be called from any thread, once or many times.
#ifndef RAVIK_JOB_FOREGROUND_TERMINAL_H_
#define RAVIK_JOB_FOREGROUND_TERMINAL_H_

#include <sys/types.h>

#include <atomic>
#include <memory>

#include "io/unique_fd.h"

namespace ravik::job {

class ForegroundTerminal {
 public:
  // The controlling terminal when this process's group is its foreground
  // group; nothing without a terminal, or when running in the background.
  static std::unique_ptr<ForegroundTerminal> acquire();

  ForegroundTerminal(const ForegroundTerminal&) = delete;
  ForegroundTerminal& operator=(const ForegroundTerminal&) = delete;
  ~ForegroundTerminal() { take_back(); }

  // Makes `group` the terminal's foreground process group.
  void lend_to(pid_t group);
  // Makes our own group the foreground group again, if it was lent.
  void take_back();

 private:
  ForegroundTerminal(UniqueFd terminal, pid_t own_group)
      : terminal_(std::move(terminal)), own_group_(own_group) {}

  UniqueFd terminal_;
  pid_t own_group_;
  std::atomic<bool> lent_{false};
};

}  // namespace ravik::job

#endif  // RAVIK_JOB_FOREGROUND_TERMINAL_H_
