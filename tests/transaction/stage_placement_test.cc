#include "transaction/stage_placement.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/memory_source.h"
#include "transaction/held_transaction.h"
#include "transaction_fixture.h"

namespace ravik::testing {
namespace {

#if defined(__linux__)

cpu_set_t current_mask() {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  EXPECT_EQ(::pthread_getaffinity_np(::pthread_self(), sizeof(mask), &mask), 0);
  return mask;
}

bool same(const cpu_set_t& left, const cpu_set_t& right) {
  return CPU_EQUAL(&left, &right) != 0;
}

TEST(StagePlacement, HasherStartsAloneAndEveryThreadGetsItsMaskBack) {
  const cpu_set_t original = current_mask();
  if (CPU_COUNT(&original) < 2) GTEST_SKIP() << "needs two CPUs";
  {
    StagePlacement placement;
    placement.begin();
    ASSERT_TRUE(placement.active());
    const cpu_set_t others = current_mask();
    EXPECT_EQ(CPU_COUNT(&others), CPU_COUNT(&original) - 1);
    std::thread hasher([&] {
      EXPECT_TRUE(same(current_mask(), others));  // inherited until placed
      placement.place_hasher();
      const cpu_set_t alone = current_mask();
      EXPECT_EQ(CPU_COUNT(&alone), 1);
      cpu_set_t overlap;
      CPU_AND(&overlap, &alone, &others);
      EXPECT_EQ(CPU_COUNT(&overlap), 0);
      placement.release_current_thread();
      EXPECT_TRUE(same(current_mask(), original));
    });
    hasher.join();
    // Not released by the caller: the destructor gives its mask back.
  }
  EXPECT_TRUE(same(current_mask(), original));
}

// The caller's mask is inherited by every thread it starts later (the
// verification's reader among them), so it must come back on every path:
// a write shorter than the placement, a long one, and one that fails.
TEST(StagePlacement, WriteGivesTheCallerItsMaskBackOnEveryPath) {
  const cpu_set_t original = current_mask();
  if (CPU_COUNT(&original) < 2) GTEST_SKIP() << "needs two CPUs";
  constexpr std::size_t kRead = 1000;
  const std::size_t long_chunks = StagePlacement::kPlacedChunks + 4;
  for (const std::size_t chunks : {std::size_t{3}, long_chunks}) {
    for (const bool fails : {false, true}) {
      SCOPED_TRACE(::testing::Message() << chunks << " chunks, fails " << fails);
      const auto image = pattern_bytes(chunks * kRead);
      auto disk = std::make_shared<FakeDisk>(image.size());
      auto held = hold(disk, write_request_for(image, disk->bytes.size()));
      MemorySource source(image, {kRead});
      if (fails) {
        source.faults.push_back(
            {.at = image.size() - kRead, .kind = IoErrorKind::kInvalidData, .times = 1});
      }
      std::vector<int> cpus_seen;
      const auto result =
          held->write_source_with_progress(source, [&](std::uint64_t) -> Result<void> {
            const cpu_set_t mask = current_mask();
            cpus_seen.push_back(CPU_COUNT(&mask));
            return {};
          });
      EXPECT_EQ(result.has_value(), !fails);
      EXPECT_TRUE(same(current_mask(), original));
      ASSERT_FALSE(cpus_seen.empty());
      EXPECT_EQ(cpus_seen.front(), CPU_COUNT(&original) - 1);
      if (chunks == long_chunks && !fails) {
        EXPECT_EQ(cpus_seen.back(), CPU_COUNT(&original));
      }
    }
  }
}

#endif

}  // namespace
}  // namespace ravik::testing
