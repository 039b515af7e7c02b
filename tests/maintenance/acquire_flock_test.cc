#include <gtest/gtest.h>

#include <chrono>

#include "maintenance/lock_test_support.h"
#include "maintenance/maintenance_lock.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing::ForkedHolder;
using testing::LockSandbox;

TEST(PollLockAttemptsTest, ZeroTimeout_MakesExactlyOneAttempt) {
  int attempts = 0;
  const auto result = poll_lock_attempts(MaintenanceTimeout::zero(), [&] {
    ++attempts;
    return Result<FlockAttempt>(FlockAttempt::kWouldBlock);
  });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceBusy);
  EXPECT_EQ(result.error().message(),
            "System maintenance is active; the maintenance lock timed out.");
  EXPECT_EQ(attempts, 1);
}

TEST(PollLockAttemptsTest, Waiting_RetriesUntilAcquiredOrFailed) {
  int attempts = 0;
  EXPECT_TRUE(poll_lock_attempts(MaintenanceTimeout(60'000), [&] {
    return Result<FlockAttempt>(++attempts < 4 ? FlockAttempt::kWouldBlock
                                               : FlockAttempt::kAcquired);
  }));
  EXPECT_EQ(attempts, 4);

  // An error other than "would block" ends the wait at once, unchanged.
  attempts = 0;
  const auto result = poll_lock_attempts(MaintenanceTimeout(60'000), [&] {
    ++attempts;
    return Result<FlockAttempt>(fail(codes::kMaintenanceUnavailable, "broken"));
  });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(), "broken");
  EXPECT_EQ(attempts, 1);
}

TEST(PollLockAttemptsTest, Timeout_PollsAtShortIntervalsThenFails) {
  int attempts = 0;
  const auto start = steady_clock::now();
  const auto result = poll_lock_attempts(MaintenanceTimeout(200), [&] {
    ++attempts;
    return Result<FlockAttempt>(FlockAttempt::kWouldBlock);
  });
  const auto waited = steady_clock::now() - start;
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceBusy);
  EXPECT_GE(waited, milliseconds(200));
  // With sleeps of at most 20 ms, 200 ms hold several attempts however
  // loaded the machine is (a blocking wait would make exactly one or two).
  EXPECT_GE(attempts, 3);
}

TEST(RandomLeaseIdTest, IsSixtyFourLowerCaseHexDigitsAndFresh) {
  const auto first = random_lease_id();
  const auto second = random_lease_id();
  ASSERT_TRUE(first && second);
  for (const std::string& id : {*first, *second}) {
    EXPECT_EQ(id.size(), 64u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
  }
  EXPECT_NE(*first, *second);
}

TEST(RandomLeaseIdTest, UnreadableOrShortSource_Fails) {
  harness::TempDir temp;
  auto result = random_lease_id_from(temp.file("absent").c_str());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceUnavailable);
  EXPECT_TRUE(result.error().message().starts_with(
      "Could not generate maintenance lease ID: No such file or directory"))
      << result.error().message();

  const std::string short_source = temp.write_file("short", std::string(31, 'x'));
  result = random_lease_id_from(short_source.c_str());
  ASSERT_FALSE(result);
  EXPECT_TRUE(
      result.error().message().starts_with("Could not generate maintenance lease ID: "));

  const std::string exact = temp.write_file("exact", std::string(32, '\xab'));
  result = random_lease_id_from(exact.c_str());
  ASSERT_TRUE(result);
  std::string expected;
  for (int i = 0; i < 32; ++i) expected += "ab";
  EXPECT_EQ(*result, expected);
}

// The lock between processes: each holder below is a forked child.
class CrossProcessLockTest : public ::testing::Test {
 protected:
  void SetUp() override { sandbox_.provision(); }

  Result<MaintenanceLock> acquire(MaintenanceMode mode, MaintenanceTimeout timeout) {
    return MaintenanceLock::acquire_default(sandbox_.location(), mode, timeout, false);
  }

  LockSandbox sandbox_;
};

TEST_F(CrossProcessLockTest, KilledHolder_FreesTheLockAtOnce) {
  ForkedHolder holder(sandbox_.location(), MaintenanceMode::kExclusive);
  ASSERT_TRUE(holder.acquired());
  ASSERT_FALSE(acquire(MaintenanceMode::kExclusive, MaintenanceTimeout::zero()));
  holder.kill();
  EXPECT_TRUE(acquire(MaintenanceMode::kExclusive, MaintenanceTimeout::zero()));
}

TEST_F(CrossProcessLockTest, Waiter_GetsTheLockWhenTheHolderEnds) {
  ForkedHolder holder(sandbox_.location(), MaintenanceMode::kExclusive,
                      milliseconds(200));
  ASSERT_TRUE(holder.acquired());
  EXPECT_TRUE(acquire(MaintenanceMode::kShared, MaintenanceTimeout(60'000)));
}

}  // namespace
}  // namespace ravik
