// Progress of a long helper operation (write, verify) on standard error: a
// bar redrawn in place with rate and time left on a terminal, plain lines at
// every tenth of the way otherwise, so that logs stay short.
//
// Not thread-safe: one thread feeds a display.
#ifndef RAVIK_CLI_PROGRESS_DISPLAY_H_
#define RAVIK_CLI_PROGRESS_DISPLAY_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "error/byte_size.h"
#include "job/job_events.h"

namespace ravik::cli {

using job::ProgressSample;
using job::ProgressSink;

// One plain line: "WRITE  40%  25.6 MiB of 64.0 MiB  120.0 MiB/s  0:01 left",
// then "  (DETAIL)" when the sample has one; for the final flush, which has no
// measure, "FLUSH  64.0 MiB written, waiting for the disk to store it durably".
std::string format_progress_line(const ProgressSample& sample);
// The bar form of the same facts, `width` cells wide.
std::string format_progress_bar(const ProgressSample& sample, int width);

// The width of the terminal on `fd`; 80 when it does not say.
int terminal_columns(int fd);

// The bar form cut to fit in `columns` without wrapping: a shorter bar
// first, then no bar, then a cut line.
std::string fitted_bar(const ProgressSample& sample, int columns);

class ProgressDisplay : public ProgressSink {
 public:
  // Writes to `fd`; draws the bar when `terminal` is true.
  ProgressDisplay(int fd, bool terminal) : fd_(fd), terminal_(terminal) {}

  void update(const ProgressSample& sample) override;
  void set_detail(std::string stage, std::function<std::string()> detail) override;
  void finish() override;

 private:
  void emit(std::string_view text);

  int fd_;
  bool terminal_;
  bool bar_drawn_ = false;
  std::string last_stage_;
  int last_tenth_ = -1;
  std::string detail_stage_;
  std::function<std::string()> detail_;
};

}  // namespace ravik::cli

#endif  // RAVIK_CLI_PROGRESS_DISPLAY_H_
