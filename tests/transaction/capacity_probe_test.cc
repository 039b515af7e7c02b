#include "transaction/capacity_probe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

#include "support/expect_error.h"
#include "support/fault_injecting_device.h"
#include "support/transaction_fixture.h"

namespace ravik::testing {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr ProbeTag kTag{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

struct ProbeRun {
  Result<CapacityProbeOutcome> outcome;
  std::vector<ProbePhase> phases;
};

ProbeRun probe(const std::shared_ptr<FakeDisk>& disk) {
  FaultInjectingDevice device(disk);
  const std::atomic<bool> cancel{false};
  ProbeRun run{.outcome = CapacityProbeOutcome{}, .phases = {}};
  run.outcome = run_capacity_probe(
      device, cancel, kTag,
      [&](ProbePhase phase, std::uint64_t done, std::uint64_t total) -> Result<void> {
        EXPECT_LE(done, total);
        run.phases.push_back(phase);
        return {};
      });
  return run;
}

std::shared_ptr<FakeDisk> counterfeit(std::uint64_t reported, std::uint64_t real,
                                      Counterfeit kind) {
  auto disk = std::make_shared<FakeDisk>(real, kUntouched);
  disk->reported_capacity = reported;
  disk->counterfeit = kind;
  return disk;
}

TEST(CapacityProbe, GenuineDisk_AnswersItsWholeCapacity) {
  auto disk = std::make_shared<FakeDisk>(48 * kMiB + 4096, kUntouched);
  const ProbeRun run = probe(disk);
  ASSERT_TRUE(run.outcome) << run.outcome.error().message();
  EXPECT_EQ(run.outcome->finding, CapacityFinding::kGenuine);
  EXPECT_EQ(run.outcome->reported_bytes, disk->bytes.size());
  EXPECT_EQ(run.outcome->verified_bytes, disk->bytes.size());
  EXPECT_FALSE(run.outcome->first_bad_offset);
  EXPECT_FALSE(run.outcome->wraps_to_offset);
  // The first block, at offset 0, and the last one were written: no
  // partition table survives at either end.
  EXPECT_NE(slice(disk->bytes, 0, 512), std::vector<std::uint8_t>(512, kUntouched));
  EXPECT_NE(slice(disk->bytes, disk->bytes.size() - 512, 512),
            std::vector<std::uint8_t>(512, kUntouched));
  // Durable before it is read back, and reported in that order.
  ASSERT_FALSE(run.phases.empty());
  EXPECT_EQ(run.phases.front(), ProbePhase::kWrite);
  EXPECT_EQ(run.phases.back(), ProbePhase::kRead);
  EXPECT_GE(disk->sync_calls, 1);
}

// The real sizes are neither powers of two nor on any comb or random
// position; the probe still finds each exactly, to the block.
TEST(CapacityProbe, CounterfeitsThatWrapOrDropWrites_AreFoundAtTheirRealSize) {
  constexpr std::uint64_t kReported = 256 * kMiB;
  constexpr std::uint64_t kReal = 40 * kMiB + 3 * 512;
  {
    SCOPED_TRACE("wraps");
    const ProbeRun run = probe(counterfeit(kReported, kReal, Counterfeit::kWraps));
    ASSERT_TRUE(run.outcome) << run.outcome.error().message();
    EXPECT_EQ(run.outcome->finding, CapacityFinding::kWrapAround);
    EXPECT_EQ(run.outcome->reported_bytes, kReported);
    EXPECT_EQ(run.outcome->verified_bytes, kReal);
    EXPECT_EQ(run.outcome->first_bad_offset, kReal);
    EXPECT_EQ(run.outcome->wraps_to_offset, 0u);
  }
  {
    SCOPED_TRACE("drops");
    const ProbeRun run = probe(counterfeit(kReported, kReal, Counterfeit::kDropsWrites));
    ASSERT_TRUE(run.outcome) << run.outcome.error().message();
    EXPECT_EQ(run.outcome->finding, CapacityFinding::kDroppedWrites);
    EXPECT_EQ(run.outcome->verified_bytes, kReal);
    EXPECT_EQ(run.outcome->first_bad_offset, kReal);
    EXPECT_FALSE(run.outcome->wraps_to_offset);
  }
  {
    // A tiny one wraps inside the dense run at the start.
    SCOPED_TRACE("tiny");
    const ProbeRun run = probe(counterfeit(kReported, 5 * kMiB, Counterfeit::kWraps));
    ASSERT_TRUE(run.outcome) << run.outcome.error().message();
    EXPECT_EQ(run.outcome->finding, CapacityFinding::kWrapAround);
    EXPECT_EQ(run.outcome->verified_bytes, 5 * kMiB);
    EXPECT_EQ(run.outcome->wraps_to_offset, 0u);
  }
}

// Whatever the size a device wraps at, some probe lands on a block that
// another probe also lands on: the comb never steps over the dense run.
TEST(CapacityProbe, Plan_NoWrapSizeMissesEveryPairOfProbes) {
  constexpr std::uint64_t kProbeBlock = 512;
  constexpr std::uint64_t kCapacity = 64 * kMiB;
  const ProbePlan plan = plan_capacity_probe(kCapacity, kProbeBlock, kTag);
  ASSERT_GE(plan.dense_bytes, kMiB);
  ASSERT_FALSE(plan.singles.empty());
  EXPECT_EQ(plan.singles.back(), kCapacity - kProbeBlock);
  for (std::uint64_t wrap = kProbeBlock; wrap < kCapacity; wrap += 97 * kProbeBlock) {
    const bool caught = wrap < plan.dense_bytes ||
                        std::ranges::any_of(plan.singles, [&](std::uint64_t single) {
                          return single >= wrap && single % wrap < plan.dense_bytes;
                        });
    ASSERT_TRUE(caught) << "a wrap at " << wrap << " would go unseen";
  }
}

TEST(CapacityProbe, InputOutputError_NamesTheOffsetWhereTheStickFailed) {
  auto disk = std::make_shared<FakeDisk>(64 * kMiB);
  disk->write_faults = {{.offset = 48 * kMiB, .kind = FaultKind::kFail, .os_error = EIO}};
  expect_error(probe(disk).outcome, "WRITE_FAILED",
               "The stick failed to store data at 48.0 MiB (input/output error): it is "
               "probably damaged.");

  disk = std::make_shared<FakeDisk>(64 * kMiB);
  disk->read_faults = {{.offset = 32 * kMiB, .kind = FaultKind::kFail, .os_error = EIO}};
  expect_error(probe(disk).outcome, "DEVICE_DISCONNECTED",
               "The stick failed to read data at 32.0 MiB (input/output error): it is "
               "probably damaged.");
}

}  // namespace
}  // namespace ravik::testing
