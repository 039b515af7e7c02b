// ProgressBoard: the progress of several helper sessions at once, one row
// per disk, on standard error. On a terminal the rows are redrawn in place
// (at a stage change, otherwise at most ten times a second), each cut to the
// terminal's width so that none wraps; a line printed while the board is
// drawn (a disk's result) goes above it, and the board is drawn again below.
// Elsewhere each row writes plain lines headed by its disk at every tenth of
// the way. A finished disk's row shows its result, not its last progress.
//
// Thread-safe: each row is fed by its own session's event thread.
#ifndef RAVIK_CLI_PROGRESS_BOARD_H_
#define RAVIK_CLI_PROGRESS_BOARD_H_

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/progress_display.h"

namespace ravik::cli {

class ProgressBoard {
 public:
  // One row per label, in this order.
  ProgressBoard(int fd, bool terminal, const std::vector<std::string>& labels);
  ProgressBoard(const ProgressBoard&) = delete;
  ProgressBoard& operator=(const ProgressBoard&) = delete;
  ~ProgressBoard();

  ProgressSink& row(std::size_t index);

  // Row `index` shows `result` from now on; its progress no longer does.
  void settle_row(std::size_t index, std::string result);
  // Writes `line` to `fd` above the board, which moves down below it.
  void print_above(int fd, const std::string& line);

  // Draws the last state of every row once the sessions are over.
  void close();

 private:
  class Row;
  void update(std::size_t index, const ProgressSample& sample);
  void draw();   // locked
  void erase();  // locked: the cursor back to the first row, the rest cleared

  int fd_;
  bool terminal_;
  std::size_t label_width_ = 0;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Row>> rows_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace ravik::cli

#endif  // RAVIK_CLI_PROGRESS_BOARD_H_
