#include "transaction/transfer_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace ravik {
namespace {

// Every lent buffer is aligned for the device, holds what was asked, and
// belongs to its loan alone while it lasts, whatever was given back before:
// a buffer lent twice would let two stages overwrite each other's bytes.
TEST(TransferBufferPool, LentBuffersAreAlignedLargeEnoughAndNeverShared) {
  TransferBufferPool pool(/*least_bytes=*/8192);
  for (const std::size_t size : {5000u, 8192u, 20'000u, 100u}) {
    SCOPED_TRACE(size);
    auto first = pool.take(3, 4096, size);
    auto second = pool.take(2, 512, size);
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(second.has_value());
    std::vector<std::span<std::uint8_t>> lent;
    for (const auto* loan : {&*first, &*second}) {
      for (std::size_t i = 0; i < loan->size(); ++i) lent.push_back((*loan)[i]);
    }
    ASSERT_EQ(lent.size(), 5u);
    for (std::size_t i = 0; i < lent.size(); ++i) {
      EXPECT_GE(lent[i].size(), std::max<std::size_t>(size, 8192));
      EXPECT_TRUE(is_aligned(lent[i].data(), 4096));
      std::memset(lent[i].data(), static_cast<int>(i), lent[i].size());
    }
    for (std::size_t i = 0; i < lent.size(); ++i) {
      EXPECT_TRUE(std::all_of(lent[i].begin(), lent[i].end(),
                              [&](std::uint8_t byte) { return byte == i; }))
          << "buffer " << i << " overlaps another";
    }
  }
}

}  // namespace
}  // namespace ravik
