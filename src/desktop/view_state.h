#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ravik::desktop {

// What the window shows of one job, kept apart from GTK so that it can be
// derived and checked from recorded job events without a display. The engine
// reports on its own thread; the window applies each event on the main
// context and redraws from this state alone.
enum class DiskStage { waiting, hashing, writing, verifying, finishing, done };
enum class DiskOutcome { running, verified, written, cancelled, failed };

struct JobStarted {
  std::vector<std::string> devices = {};
  std::uint64_t image_bytes = 0;
};
struct StageChanged {
  std::string device = {};
  DiskStage stage = DiskStage::waiting;
};
struct BytesDone {
  std::string device = {};
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  std::uint64_t milliseconds = 0;  // since the stage began
};
struct DiskFinished {
  std::string device = {};
  DiskOutcome outcome = DiskOutcome::running;
  bool safe_to_remove = false;
  std::uint64_t bytes_on_disk = 0;
  std::string error_code = {};
  std::string error_message = {};
};
using JobEvent = std::variant<JobStarted, StageChanged, BytesDone, DiskFinished>;

struct DiskRow {
  std::string device = {};
  DiskStage stage = DiskStage::waiting;
  DiskOutcome outcome = DiskOutcome::running;
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  std::uint64_t bytes_per_second = 0;
  std::optional<std::uint64_t> seconds_left = {};
  bool safe_to_remove = false;
  std::uint64_t bytes_on_disk = 0;
  std::string error_code = {};
  std::string error_message = {};
};

// printf into a std::string (the standard library here has no std::format).
[[nodiscard, gnu::format(printf, 1, 2)]] std::string printed(const char* format, ...);

class ViewState {
 public:
  void apply(const JobEvent& event);

  [[nodiscard]] const std::vector<DiskRow>& rows() const { return rows_; }
  [[nodiscard]] bool running() const;
  // Whole percent of the current stage, 0 to 100.
  [[nodiscard]] static unsigned percent(const DiskRow& row);
  // One line per disk as the window and the accessibility tree read it.
  [[nodiscard]] static std::string status_text(const DiskRow& row);

 private:
  DiskRow* find(const std::string& device);
  std::vector<DiskRow> rows_;
};

}  // namespace ravik::desktop
