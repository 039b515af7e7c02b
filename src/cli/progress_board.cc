#include "cli/progress_board.h"

#include <algorithm>

#include "io/write_all.h"
#include "job/event_pump.h"

namespace ravik::cli {

class ProgressBoard::Row : public ProgressSink {
 public:
  Row(ProgressBoard& board, std::size_t index, std::string row_label)
      : board_(board), index_(index), label(std::move(row_label)) {}

  void update(const ProgressSample& sample) override { board_.update(index_, sample); }
  // Rows have no line of their own to end.
  void finish() override {}

  ProgressBoard& board_;
  const std::size_t index_;
  const std::string label;
  // The last sample, owned (the sample's stage is a view).
  std::string stage;
  ProgressSample last;
  bool seen = false;
  std::string result;  // once the disk's session ended
  int last_tenth = -1;
};

ProgressBoard::ProgressBoard(int fd, bool terminal,
                             const std::vector<std::string>& labels)
    : fd_(fd), terminal_(terminal) {
  for (std::size_t index = 0; index < labels.size(); ++index) {
    rows_.push_back(std::make_unique<Row>(*this, index, labels[index]));
    label_width_ = std::max(label_width_, labels[index].size());
  }
}

ProgressBoard::~ProgressBoard() = default;

ProgressSink& ProgressBoard::row(std::size_t index) { return *rows_[index]; }

void ProgressBoard::update(std::size_t index, const ProgressSample& sample) {
  std::lock_guard lock(mutex_);
  Row& row = *rows_[index];
  if (!row.result.empty()) return;
  const bool new_stage = !row.seen || sample.stage != row.stage;
  if (new_stage) {
    row.stage = std::string(sample.stage);
    row.last_tenth = -1;
  }
  row.last = sample;
  row.last.stage = row.stage;
  row.seen = true;
  if (terminal_) {
    const auto now = std::chrono::steady_clock::now();
    if (new_stage || now - last_draw_ >= std::chrono::milliseconds(100)) {
      last_draw_ = now;
      draw();
    }
    return;
  }
  const int tenth = sample.total == 0
                        ? 10
                        : static_cast<int>(static_cast<unsigned __int128>(sample.done) *
                                           10 / sample.total);
  if (tenth == row.last_tenth) return;
  row.last_tenth = tenth;
  (void)write_all(fd_, row.label + ": " + format_progress_line(row.last) + "\n");
}

void ProgressBoard::draw() {
  // Back to the first row (\x1b[nA), then every row rewritten and cleared
  // to its end (\x1b[K). A row as wide as the terminal would wrap and push
  // the board down by more than its rows, hence the cut.
  const auto columns = static_cast<std::size_t>(std::max(terminal_columns(fd_) - 1, 1));
  std::string text;
  if (drawn_) text = "\x1b[" + std::to_string(rows_.size()) + "A";
  for (const auto& row : rows_) {
    std::string line = row->label +
                       std::string(label_width_ - row->label.size() + 2, ' ') +
                       (!row->result.empty() ? row->result
                        : row->seen          ? format_progress_line(row->last)
                                             : std::string("waiting"));
    if (line.size() > columns) line.resize(columns);
    text += "\r" + line + "\x1b[K\n";
  }
  drawn_ = true;
  (void)write_all(fd_, text);
}

void ProgressBoard::erase() {
  if (!drawn_) return;
  (void)write_all(fd_, "\x1b[" + std::to_string(rows_.size()) + "A\r\x1b[J");
  drawn_ = false;
}

void ProgressBoard::settle_row(std::size_t index, std::string result) {
  std::lock_guard lock(mutex_);
  rows_[index]->result = std::move(result);
  if (terminal_ && drawn_) draw();
}

void ProgressBoard::print_above(int fd, const std::string& line) {
  std::lock_guard lock(mutex_);
  if (!terminal_) {
    job::write_text_line(fd, line);
    return;
  }
  // The line takes the board's first row, and the board is drawn anew below
  // it; moved up by its rows alone, the next redraw would overwrite the line.
  const bool was_drawn = drawn_;
  erase();
  job::write_text_line(fd, line);
  if (was_drawn) draw();
}

void ProgressBoard::close() {
  std::lock_guard lock(mutex_);
  if (terminal_ && drawn_) draw();
}

}  // namespace ravik::cli
