#include "desktop/view_state.h"

#include <gtest/gtest.h>

#include <vector>

#include "desktop/job_bridge.h"

namespace ravik::desktop {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

ViewState replay(const std::vector<JobEvent>& events) {
  ViewState state;
  for (const auto& event : events) state.apply(event);
  return state;
}

// Two disks of one job, recorded as the engine reports them: each row keeps
// its own stage, rate and outcome, and the job runs until both end.
TEST(DesktopViewState, TwoDisksEachWithItsOwnProgressAndOutcome) {
  ViewState state = replay({
      JobStarted{.devices = {"/dev/sdb", "/dev/sdc"}, .image_bytes = 8 * kMiB},
      StageChanged{.device = "/dev/sdb", .stage = DiskStage::writing},
      StageChanged{.device = "/dev/sdc", .stage = DiskStage::writing},
      BytesDone{.device = "/dev/sdb",
                .done = 4 * kMiB,
                .total = 8 * kMiB,
                .milliseconds = 2000},
      BytesDone{.device = "/dev/sdc",
                .done = 2 * kMiB,
                .total = 8 * kMiB,
                .milliseconds = 2000},
  });
  ASSERT_EQ(state.rows().size(), 2u);
  EXPECT_EQ(ViewState::status_text(state.rows()[0]), "writing 50%, 2.0 MiB/s, 2 s left");
  EXPECT_EQ(ViewState::status_text(state.rows()[1]), "writing 25%, 1.0 MiB/s, 6 s left");
  EXPECT_TRUE(state.running());

  state.apply(StageChanged{.device = "/dev/sdb", .stage = DiskStage::verifying});
  EXPECT_EQ(ViewState::status_text(state.rows()[0]), "verifying 0%");
  state.apply(DiskFinished{.device = "/dev/sdb",
                           .outcome = DiskOutcome::verified,
                           .safe_to_remove = true,
                           .bytes_on_disk = 8 * kMiB});
  EXPECT_EQ(ViewState::status_text(state.rows()[0]), "verified, safe to remove");
  EXPECT_TRUE(state.running());
  state.apply(DiskFinished{.device = "/dev/sdc",
                           .outcome = DiskOutcome::failed,
                           .bytes_on_disk = 3 * kMiB,
                           .error_code = "WRITE_FAILED",
                           .error_message = "The disk refused a write."});
  EXPECT_EQ(
      ViewState::status_text(state.rows()[1]),
      "WRITE_FAILED: The disk refused a write. 3.0 MiB reached the disk, which holds no "
      "usable image");
  EXPECT_FALSE(state.running());
}

// Reports that arrive after a disk's outcome, or that go backwards, must not
// make a finished disk look as if it still moved; events for a disk outside
// the job are ignored.
TEST(DesktopViewState, LateAndForeignReportsLeaveOutcomesAlone) {
  ViewState state = replay({
      JobStarted{.devices = {"/dev/sdb"}, .image_bytes = 4 * kMiB},
      StageChanged{.device = "/dev/sdb", .stage = DiskStage::writing},
      BytesDone{.device = "/dev/sdb",
                .done = 2 * kMiB,
                .total = 4 * kMiB,
                .milliseconds = 1000},
      BytesDone{.device = "/dev/sdb",
                .done = 1 * kMiB,
                .total = 4 * kMiB,
                .milliseconds = 1100},
  });
  EXPECT_EQ(state.rows()[0].done, 2 * kMiB);
  state.apply(DiskFinished{.device = "/dev/sdb",
                           .outcome = DiskOutcome::cancelled,
                           .bytes_on_disk = 2 * kMiB});
  state.apply(BytesDone{.device = "/dev/sdb", .done = 3 * kMiB, .total = 4 * kMiB});
  state.apply(StageChanged{.device = "/dev/sdb", .stage = DiskStage::verifying});
  state.apply(DiskFinished{.device = "/dev/sdb", .outcome = DiskOutcome::verified});
  state.apply(BytesDone{.device = "/dev/sdz", .done = 1, .total = 2});
  ASSERT_EQ(state.rows().size(), 1u);
  EXPECT_EQ(ViewState::status_text(state.rows()[0]),
            "cancelled: 2.0 MiB reached the disk, which holds no usable image");
  EXPECT_FALSE(state.running());
}

// The engine's reports as the bridge queues them: its stages named as the
// view state knows them, and a cancelled disk told apart from a failed one,
// each saying how much reached the disk.
job::DiskOutcome outcome(std::optional<std::string> code, bool verified,
                         std::uint64_t bytes) {
  job::DiskOutcome made;
  made.succeeded = !code;
  made.verified = verified;
  made.bytes_written = bytes;
  made.error_code = std::move(code);
  return made;
}

TEST(DesktopViewState, EngineReportsThroughTheBridge) {
  int wakes = 0;
  JobBridge bridge({"/dev/loop7"}, [&wakes] { ++wakes; });
  auto sink = bridge.new_progress();
  sink->update({.stage = "WRITE", .done = kMiB, .total = 4 * kMiB});
  sink->update({.stage = "VERIFY", .done = 2 * kMiB, .total = 4 * kMiB});
  bridge.disk_finished(0, outcome("CANCELED", false, 3 * kMiB));
  ViewState state;
  state.apply(JobStarted{.devices = {"/dev/loop7"}, .image_bytes = 4 * kMiB});
  const auto events = bridge.take();
  EXPECT_EQ(wakes, 5);
  ASSERT_EQ(events.size(), 5u);
  for (const auto& event : events) {
    state.apply(event);
    if (const auto* changed = std::get_if<StageChanged>(&event)) {
      EXPECT_TRUE(changed->stage == DiskStage::writing ||
                  changed->stage == DiskStage::verifying);
    }
  }
  EXPECT_TRUE(bridge.take().empty());
  EXPECT_EQ(ViewState::status_text(state.rows()[0]),
            "cancelled: 3.0 MiB reached the disk, which holds no usable image");
  EXPECT_EQ(finished_of("/dev/sdb", outcome("WRITE_FAILED", false, 0)).outcome,
            DiskOutcome::failed);
  EXPECT_EQ(finished_of("/dev/sdb", outcome(std::nullopt, true, 0)).outcome,
            DiskOutcome::verified);
  EXPECT_EQ(finished_of("/dev/sdb", outcome(std::nullopt, false, 0)).outcome,
            DiskOutcome::written);
}

}  // namespace
}  // namespace ravik::desktop
