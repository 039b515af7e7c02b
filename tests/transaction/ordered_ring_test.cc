#include "transaction/ordered_ring.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "support/expect_error.h"

namespace ravik {
namespace {

constexpr std::size_t kRingSlots = 3;

// What a producer thread writes into the slots: item i carries the value i,
// so a slot reused before every consumer freed it shows as a wrong value.
struct RingedItems {
  OrderedRing ring{kRingSlots, 2};
  std::array<std::uint64_t, kRingSlots> slots{};

  void produce(std::uint64_t count, std::optional<HelperError> failure) {
    for (std::uint64_t item = 0; item < count; ++item) {
      const auto index = ring.claim();
      ASSERT_TRUE(index.has_value());
      ASSERT_EQ(*index, item);
      slots[item % kRingSlots] = item;
      ring.publish();
    }
    ring.close(std::move(failure));
  }
};

// Takes items until the end or a failure; `finished` counts the items this
// consumer is done with, `ahead` is the count of the consumer it trails.
Result<std::vector<std::uint64_t>> consume(RingedItems& items, std::size_t consumer,
                                           std::atomic<std::uint64_t>& finished,
                                           const std::atomic<std::uint64_t>* ahead) {
  std::vector<std::uint64_t> seen;
  while (true) {
    RAVIK_ASSIGN_OR_RETURN(const auto index, items.ring.next(consumer));
    if (!index) return seen;
    if (ahead != nullptr) {
      EXPECT_GE(ahead->load(), *index) << "overtook at " << *index;
    }
    seen.push_back(items.slots[*index % kRingSlots]);
    std::this_thread::yield();
    finished.store(*index + 1);
  }
}

TEST(OrderedRing, EveryConsumerTakesEveryItemInOrderTheSecondTrailingTheFirst) {
  for (const bool failing : {false, true}) {
    SCOPED_TRACE(failing ? "the producer fails after the items" : "the items end");
    RingedItems items;
    constexpr std::uint64_t kItems = 200;
    std::atomic<std::uint64_t> first_done{0};
    std::atomic<std::uint64_t> second_done{0};
    Result<std::vector<std::uint64_t>> first = std::vector<std::uint64_t>{};
    Result<std::vector<std::uint64_t>> second = first;
    std::thread first_thread([&] { first = consume(items, 0, first_done, nullptr); });
    std::thread second_thread(
        [&] { second = consume(items, 1, second_done, &first_done); });
    std::optional<HelperError> failure;
    if (failing) failure = HelperError(codes::kImageMissing, "The source ended.");
    items.produce(kItems, failure);
    first_thread.join();
    second_thread.join();

    std::vector<std::uint64_t> expected(kItems);
    for (std::uint64_t item = 0; item < kItems; ++item) expected[item] = item;
    for (const auto* result : {&first, &second}) {
      if (failing) {
        // The failure comes after every item published before it.
        EXPECT_EQ(second_done.load(), kItems);
        testing::expect_error(*result, codes::kImageMissing, "The source ended.");
      } else {
        ASSERT_TRUE(result->has_value());
        EXPECT_EQ(**result, expected);
      }
    }
  }
}

TEST(OrderedRing, StopEndsTheWaitOfAFullRingAndOfAnEmptyOne) {
  {
    SCOPED_TRACE("the producer waits for a slot");
    OrderedRing ring(2, 1);
    for (int item = 0; item < 2; ++item) {
      ASSERT_TRUE(ring.claim().has_value());
      ring.publish();
    }
    std::optional<std::uint64_t> claimed = 0;
    std::thread producer([&] { claimed = ring.claim(); });
    ring.stop();
    producer.join();
    EXPECT_FALSE(claimed.has_value());
    // A stopped ring hands nothing out, not even what was published.
    const auto handed = ring.next(0);
    ASSERT_TRUE(handed.has_value());
    EXPECT_FALSE(handed->has_value());
  }
  {
    SCOPED_TRACE("a consumer waits for an item");
    OrderedRing ring(2, 2);
    Result<std::optional<std::uint64_t>> handed = std::optional<std::uint64_t>(0);
    std::thread consumer([&] { handed = ring.next(0); });
    ring.stop();
    consumer.join();
    ASSERT_TRUE(handed.has_value());
    EXPECT_FALSE(handed->has_value());
    EXPECT_FALSE(ring.claim().has_value());
  }
}

}  // namespace
}  // namespace ravik
