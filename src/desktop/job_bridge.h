#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "desktop/view_state.h"
#include "job/job_events.h"

namespace ravik::desktop {

// The job engine's observer for the window. The engine calls it on the job's
// own thread and on its sessions' threads; every report is copied into a
// JobEvent and queued, and `wake` (which must be safe from any thread, e.g. a
// Glib::Dispatcher's emit) tells the main context to take() them.
class JobBridge : public job::JobObserver {
 public:
  JobBridge(std::vector<std::string> devices, std::function<void()> wake);

  // The events queued since the last call, in the order they happened.
  [[nodiscard]] std::vector<JobEvent> take();

  void notice(job::NoticeKind kind, std::string_view line) override;
  void output(job::NoticeKind kind, std::string_view text) override;
  std::unique_ptr<job::ProgressSink> new_progress() override;
  std::unique_ptr<job::DiskBoard> new_board(
      const std::vector<std::string>& labels) override;
  // The window has asked already, naming each disk.
  std::optional<std::string> confirm_overwrite(
      const job::OverwriteQuestion& question) override;
  void disk_finished(std::size_t disk, const job::DiskOutcome& outcome) override;

  void post(JobEvent event);
  [[nodiscard]] const std::string& device(std::size_t index) const;

 private:
  std::vector<std::string> devices_;
  std::function<void()> wake_;
  std::mutex mutex_;
  std::vector<JobEvent> queue_;
};

// The engine's stage names as the view state knows them.
[[nodiscard]] DiskStage stage_of(std::string_view stage);
// A finished disk as the view state shows it: cancelled when the helper says
// so, failed on any other error, else verified or written.
[[nodiscard]] DiskFinished finished_of(const std::string& device,
                                       const job::DiskOutcome& outcome);

}  // namespace ravik::desktop
