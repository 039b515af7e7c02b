#include "session/release_procedure.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/fake_clock.h"
#include "support/transaction_fixture.h"
#include "transaction/rates.h"

namespace ravik {
namespace {

using testing::FakeClock;

using testing::CallKind;
using testing::FakeDisk;
using testing::HeldFake;

// A held format-only transaction over `disk`; the switches of the disk make
// the release steps fail.
HeldFake held_over(std::shared_ptr<FakeDisk> disk) {
  return testing::hold(disk, testing::format_request_for(disk->bytes.size()));
}

TEST(ReleaseProcedureTest, EjectSucceeds_ReleasesWithoutPolling) {
  auto disk = std::make_shared<FakeDisk>(4096);
  auto held = held_over(disk);
  FakeClock clock;
  ASSERT_TRUE(run_release_procedure(*held, clock));
  EXPECT_EQ(disk->count(CallKind::kEject), 1);
  EXPECT_TRUE(disk->detached);
  EXPECT_EQ(disk->detach_polls, 0);
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST(ReleaseProcedureTest, PrepareFails_WriteFailedPassesUnchangedOthersWrapped) {
  auto flush_failed = std::make_shared<FakeDisk>(4096);
  flush_failed->fail_sync_from_call = 1;
  auto held = held_over(flush_failed);
  FakeClock clock;
  auto result = run_release_procedure(*held, clock);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kWriteFailed);
  EXPECT_TRUE(result.error().message().starts_with("Could not flush the held target"))
      << result.error().message();
  EXPECT_EQ(flush_failed->count(CallKind::kEject), 0);

  auto boot_open = std::make_shared<FakeDisk>(4096);
  auto held_boot = held_over(boot_open);
  held_boot->set_boot_partition(PartitionRange{.offset = 0, .length = 4096});
  result = run_release_procedure(*held_boot, clock);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kSafeReleaseFailed);
  EXPECT_EQ(result.error().message(),
            "Could not prepare the exact held target for release: Close the boot "
            "session before ejecting the target.");
  EXPECT_EQ(boot_open->count(CallKind::kEject), 0);
  EXPECT_EQ(boot_open->sync_calls, 0);
}

TEST(ReleaseProcedureTest, EjectFailsDetachConfirmedOnThirdPoll_Releases) {
  auto disk = std::make_shared<FakeDisk>(4096);
  disk->refuse_eject = true;
  disk->detach_confirmed_on_poll = 3;
  auto held = held_over(disk);
  FakeClock clock;
  ASSERT_TRUE(run_release_procedure(*held, clock));
  EXPECT_EQ(disk->detach_polls, 3);
  EXPECT_EQ(clock.sleeps,
            (std::vector<std::chrono::milliseconds>(2, kReleaseDetachPoll)));
}

TEST(ReleaseProcedureTest, EjectFailsNeverDetached_FailsAfterSixtySeconds) {
  auto disk = std::make_shared<FakeDisk>(4096);
  disk->refuse_eject = true;
  auto held = held_over(disk);
  FakeClock clock;
  auto result = run_release_procedure(*held, clock);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kSafeReleaseFailed);
  EXPECT_EQ(result.error().message(),
            "Could not physically eject the exact held target, and removal was not "
            "confirmed: The medium refused to eject.");
  // Polls at 0, 0.25, ..., 60.0 s: the one at exactly 60 s is the last.
  EXPECT_EQ(disk->detach_polls, 241);
  EXPECT_EQ(clock.sleeps.size(), 240u);
}

TEST(ReleaseProcedureTest, DetachCheckFails_ReportsBothErrors) {
  auto disk = std::make_shared<FakeDisk>(4096);
  disk->refuse_eject = true;
  disk->fail_detach_poll = 2;
  auto held = held_over(disk);
  FakeClock clock;
  auto result = run_release_procedure(*held, clock);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kSafeReleaseFailed);
  EXPECT_EQ(result.error().message(),
            "Could not prove that the exact held target detached after eject failed "
            "(The medium refused to eject.): The held target could not be looked up.");
  EXPECT_EQ(disk->detach_polls, 2);
}

TEST(BytesPerSecondTest, Rates_TruncatedCappedAndZeroWithoutTime) {
  using std::chrono::nanoseconds;
  EXPECT_EQ(progress_speed_bps(1000, nanoseconds(0)), 0u);
  EXPECT_EQ(progress_speed_bps(1000, nanoseconds(1'000'000'000)), 1000u);
  EXPECT_EQ(progress_speed_bps(10, nanoseconds(3'000'000'000)), 3u);  // 3.33 -> 3
  EXPECT_EQ(progress_speed_bps(3, nanoseconds(2'000'000'000)), 1u);   // 1.5 -> 1
  EXPECT_EQ(progress_speed_bps(~0ull, nanoseconds(1)), ~0ull);
}

}  // namespace
}  // namespace ravik
