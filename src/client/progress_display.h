// Progress of a long helper operation (write, verify) on standard error: a
// bar redrawn in place with rate and time left on a terminal, plain lines at
// every tenth of the way otherwise, so that logs stay short.
//
// Not thread-safe: one thread feeds a display.
#ifndef RAVIK_CLIENT_PROGRESS_DISPLAY_H_
#define RAVIK_CLIENT_PROGRESS_DISPLAY_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "error/byte_size.h"

namespace ravik::client {

struct ProgressSample {
  std::string_view stage;  // "WRITE", "FLUSH", "VERIFY"
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  std::uint64_t bytes_per_second = 0;
  std::string detail = {};  // shown in parentheses after the figures, when not empty
};

// Rows as lines, each column padded to its widest cell, two spaces apart
// (the last not padded). `rows` holds at least the header row.
std::vector<std::string> format_table(const std::vector<std::vector<std::string>>& rows);
// "0:07", "1:02:03"; "?" when the rate is 0.
std::string format_time_left(std::uint64_t remaining_bytes,
                             std::uint64_t bytes_per_second);
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

// Where a session's progress goes: one display, or one row of a board.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void update(const ProgressSample& sample) = 0;
  // Ends the current bar's line, if one is drawn.
  virtual void finish() = 0;
};

class ProgressDisplay : public ProgressSink {
 public:
  // Writes to `fd`; draws the bar when `terminal` is true.
  ProgressDisplay(int fd, bool terminal) : fd_(fd), terminal_(terminal) {}

  void update(const ProgressSample& sample) override;
  // Gives every later sample of `stage` that has no detail of its own the
  // text `detail` returns at the time. `detail` runs on the thread that calls
  // update(), and must be safe there.
  void set_detail(std::string stage, std::function<std::string()> detail);
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

}  // namespace ravik::client

#endif  // RAVIK_CLIENT_PROGRESS_DISPLAY_H_
