#include "session/release_procedure.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/fake_clock.h"
#include "transaction/rates.h"

namespace ravik {
namespace {

using testing::FakeClock;

class FakeSteps final : public ReleaseSteps {
 public:
  Result<void> prepare_eject() override {
    ++prepare_calls;
    if (prepare_error) return fail(*prepare_error);
    return {};
  }
  Result<void> eject_prepared() override {
    ++eject_calls;
    if (eject_error) return fail(*eject_error);
    return {};
  }
  Result<bool> exact_detach_confirmed() override {
    ++detach_polls;
    if (detach_error && detach_polls == detach_error_on_poll) return fail(*detach_error);
    return detach_confirmed_on_poll != 0 && detach_polls >= detach_confirmed_on_poll;
  }

  std::optional<HelperError> prepare_error;
  std::optional<HelperError> eject_error;
  std::optional<HelperError> detach_error;
  int detach_error_on_poll = 1;
  int detach_confirmed_on_poll = 0;  // 0: never
  int prepare_calls = 0;
  int eject_calls = 0;
  int detach_polls = 0;
};

TEST(ReleaseProcedureTest, EjectSucceeds_ReleasesWithoutPolling) {
  FakeSteps steps;
  FakeClock clock;
  ASSERT_TRUE(run_release_procedure(steps, clock));
  EXPECT_EQ(steps.eject_calls, 1);
  EXPECT_EQ(steps.detach_polls, 0);
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST(ReleaseProcedureTest, PrepareFails_WriteFailedPassesUnchangedOthersWrapped) {
  FakeSteps flush_failed;
  flush_failed.prepare_error = HelperError(codes::kWriteFailed, "flush broke");
  FakeClock clock;
  auto result = run_release_procedure(flush_failed, clock);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kWriteFailed);
  EXPECT_EQ(result.error().message(), "flush broke");
  EXPECT_EQ(flush_failed.eject_calls, 0);

  FakeSteps boot_open;
  boot_open.prepare_error = HelperError(
      codes::kSafeReleaseFailed, "Close the boot session before ejecting the target.");
  result = run_release_procedure(boot_open, clock);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kSafeReleaseFailed);
  EXPECT_EQ(result.error().message(),
            "Could not prepare the exact held target for release: Close the boot "
            "session before ejecting the target.");
  EXPECT_EQ(boot_open.eject_calls, 0);
}

TEST(ReleaseProcedureTest, EjectFailsDetachConfirmedOnThirdPoll_Releases) {
  FakeSteps steps;
  steps.eject_error = HelperError(codes::kSafeReleaseFailed, "dissented");
  steps.detach_confirmed_on_poll = 3;
  FakeClock clock;
  ASSERT_TRUE(run_release_procedure(steps, clock));
  EXPECT_EQ(steps.detach_polls, 3);
  EXPECT_EQ(clock.sleeps,
            (std::vector<std::chrono::milliseconds>(2, kReleaseDetachPoll)));
}

TEST(ReleaseProcedureTest, EjectFailsNeverDetached_FailsAfterSixtySeconds) {
  FakeSteps steps;
  steps.eject_error = HelperError(codes::kTimeout, "eject timed out");
  FakeClock clock;
  auto result = run_release_procedure(steps, clock);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kSafeReleaseFailed);
  EXPECT_EQ(result.error().message(),
            "Could not physically eject the exact held target, and removal was not "
            "confirmed: eject timed out");
  // Polls at 0, 0.25, ..., 60.0 s: the one at exactly 60 s is the last.
  EXPECT_EQ(steps.detach_polls, 241);
  EXPECT_EQ(clock.sleeps.size(), 240u);
}

TEST(ReleaseProcedureTest, DetachCheckFails_ReportsBothErrors) {
  FakeSteps steps;
  steps.eject_error = HelperError(codes::kSafeReleaseFailed, "dissented");
  steps.detach_error = HelperError(codes::kDeviceDisconnected, "lookup failed");
  steps.detach_error_on_poll = 2;
  FakeClock clock;
  auto result = run_release_procedure(steps, clock);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kSafeReleaseFailed);
  EXPECT_EQ(result.error().message(),
            "Could not prove that the exact held target detached after eject failed "
            "(dissented): lookup failed");
  EXPECT_EQ(steps.detach_polls, 2);
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
