#include "desktop/job_bridge.h"

#include <utility>

namespace ravik::desktop {
namespace {

// One disk's progress: a new stage starts its own clock, so that the rate
// the view state derives is that stage's.
class BridgeSink : public job::ProgressSink {
 public:
  BridgeSink(JobBridge& bridge, std::size_t disk) : bridge_(bridge), disk_(disk) {}

  void update(const job::ProgressSample& sample) override {
    const DiskStage stage = stage_of(sample.stage);
    const auto now = std::chrono::steady_clock::now();
    if (!started_ || stage != stage_) {
      started_ = true;
      stage_ = stage;
      since_ = now;
      bridge_.post(StageChanged{.device = bridge_.device(disk_), .stage = stage});
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - since_);
    bridge_.post(BytesDone{.device = bridge_.device(disk_),
                           .done = sample.done,
                           .total = sample.total,
                           .milliseconds = static_cast<std::uint64_t>(elapsed.count())});
  }
  void finish() override {}

 private:
  JobBridge& bridge_;
  std::size_t disk_;
  bool started_ = false;
  DiskStage stage_ = DiskStage::waiting;
  std::chrono::steady_clock::time_point since_;
};

class BridgeBoard : public job::DiskBoard {
 public:
  BridgeBoard(JobBridge& bridge, std::size_t disks) {
    for (std::size_t i = 0; i < disks; ++i)
      rows_.push_back(std::make_unique<BridgeSink>(bridge, i));
  }
  job::ProgressSink& row(std::size_t index) override { return *rows_.at(index); }
  void settle_row(std::size_t, std::string) override {}
  void print_above(const std::string&) override {}
  void close() override {}

 private:
  std::vector<std::unique_ptr<BridgeSink>> rows_;
};

}  // namespace

DiskStage stage_of(std::string_view stage) {
  if (stage == "WRITE") return DiskStage::writing;
  if (stage == "VERIFY") return DiskStage::verifying;
  if (stage == "FLUSH") return DiskStage::finishing;
  return DiskStage::hashing;
}

DiskFinished finished_of(const std::string& device, const job::DiskOutcome& outcome) {
  DiskFinished finished{.device = device,
                        .safe_to_remove = outcome.safe_to_remove,
                        .bytes_on_disk = outcome.bytes_written};
  if (outcome.succeeded) {
    finished.outcome =
        outcome.verified.value_or(false) ? DiskOutcome::verified : DiskOutcome::written;
    return finished;
  }
  finished.error_code = outcome.error_code.value_or("FAILED");
  finished.error_message = outcome.failure;
  finished.outcome =
      finished.error_code == "CANCELED" ? DiskOutcome::cancelled : DiskOutcome::failed;
  return finished;
}

JobBridge::JobBridge(std::vector<std::string> devices, std::function<void()> wake)
    : devices_(std::move(devices)), wake_(std::move(wake)) {}

std::vector<JobEvent> JobBridge::take() {
  std::scoped_lock lock(mutex_);
  return std::exchange(queue_, {});
}

void JobBridge::post(JobEvent event) {
  {
    std::scoped_lock lock(mutex_);
    queue_.push_back(std::move(event));
  }
  wake_();
}

const std::string& JobBridge::device(std::size_t index) const {
  return devices_.at(index);
}

void JobBridge::notice(job::NoticeKind, std::string_view) {}
void JobBridge::output(job::NoticeKind, std::string_view) {}

std::unique_ptr<job::ProgressSink> JobBridge::new_progress() {
  return std::make_unique<BridgeSink>(*this, 0);
}

std::unique_ptr<job::DiskBoard> JobBridge::new_board(
    const std::vector<std::string>& labels) {
  return std::make_unique<BridgeBoard>(*this, labels.size());
}

std::optional<std::string> JobBridge::confirm_overwrite(const job::OverwriteQuestion&) {
  return std::nullopt;
}

void JobBridge::disk_finished(std::size_t disk, const job::DiskOutcome& outcome) {
  post(finished_of(device(disk), outcome));
}

}  // namespace ravik::desktop
