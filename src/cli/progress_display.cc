#include "cli/progress_display.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cstdio>

#include "io/write_all.h"
#include "job/plain_text.h"

namespace ravik::cli {
namespace {

int percent_of(std::uint64_t done, std::uint64_t total) {
  if (total == 0) return 100;
  return static_cast<int>(static_cast<unsigned __int128>(done) * 100 / total);
}

}  // namespace

int terminal_columns(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::string fitted_bar(const ProgressSample& sample, int columns) {
  // A line as wide as the terminal wraps, and each redraw would leave the
  // wrapped part behind: the bar shrinks first, then the line is cut.
  const std::string line = format_progress_line(sample);
  const int room = columns - 1 - static_cast<int>(line.size()) - 3;
  const int bar = std::min(30, room);
  std::string text = bar >= 10 ? format_progress_bar(sample, bar) : line;
  if (static_cast<int>(text.size()) > columns - 1) {
    text.resize(static_cast<std::size_t>(std::max(columns - 1, 0)));
  }
  return text;
}

std::string format_progress_line(const ProgressSample& sample) {
  // The disk's cache emptying: nothing to count, only to wait for.
  if (sample.stage == "FLUSH") {
    return "FLUSH  " + format_bytes(sample.done) +
           " written, waiting for the disk to store it durably" +
           (sample.detail.empty() ? "" : "  (" + sample.detail + ")");
  }
  const std::uint64_t remaining =
      sample.total > sample.done ? sample.total - sample.done : 0;
  char percent[8];
  std::snprintf(percent, sizeof(percent), "%3d%%", percent_of(sample.done, sample.total));
  return std::string(sample.stage) + " " + percent + "  " + format_bytes(sample.done) +
         " of " + format_bytes(sample.total) + "  " +
         format_bytes(sample.bytes_per_second) + "/s  " +
         job::format_time_left(remaining, sample.bytes_per_second) + " left" +
         (sample.detail.empty() ? "" : "  (" + sample.detail + ")");
}

std::string format_progress_bar(const ProgressSample& sample, int width) {
  if (sample.stage == "FLUSH") return format_progress_line(sample);
  const int filled = percent_of(sample.done, sample.total) * width / 100;
  std::string bar = "[";
  bar.append(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(width - filled), '.');
  bar += "] ";
  return bar + format_progress_line(sample);
}

void ProgressDisplay::set_detail(std::string stage, std::function<std::string()> detail) {
  detail_stage_ = std::move(stage);
  detail_ = std::move(detail);
}

void ProgressDisplay::update(const ProgressSample& given) {
  ProgressSample sample = given;
  if (detail_ && sample.detail.empty() && sample.stage == detail_stage_) {
    sample.detail = detail_();
  }
  if (sample.stage != last_stage_) {
    finish();
    last_stage_ = std::string(sample.stage);
    last_tenth_ = -1;
  }
  if (terminal_) {
    // \r returns to the start of the line and \x1b[K clears what a longer
    // previous line left behind.
    emit("\r" + fitted_bar(sample, terminal_columns(fd_)) + "\x1b[K");
    bar_drawn_ = true;
    return;
  }
  const int tenth = percent_of(sample.done, sample.total) / 10;
  if (tenth == last_tenth_) return;
  last_tenth_ = tenth;
  emit(format_progress_line(sample) + "\n");
}

void ProgressDisplay::finish() {
  if (bar_drawn_) emit("\n");
  bar_drawn_ = false;
}

void ProgressDisplay::emit(std::string_view text) {
  // Progress is a courtesy; a closed terminal must not stop the job.
  (void)write_all(fd_, text);
}

}  // namespace ravik::cli
