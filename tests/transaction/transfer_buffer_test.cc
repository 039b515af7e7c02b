#include "transaction/transfer_buffer.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <set>
#include <vector>

namespace ravik {
namespace {

std::set<const std::uint8_t*> starts_of(const TransferBufferPool::Lease& lease) {
  std::set<const std::uint8_t*> starts;
  for (std::size_t i = 0; i < lease.size(); ++i) starts.insert(lease[i].data());
  return starts;
}

TEST(TransferBufferPool, GivenBackBuffersAreLentAgainWhileTheyFit) {
  TransferBufferPool pool(/*least_bytes=*/8192);
  std::set<const std::uint8_t*> first;
  {
    auto lease = pool.take(4, 512, 5000);
    ASSERT_TRUE(lease.has_value()) << lease.error().message();
    ASSERT_EQ(lease->size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_GE((*lease)[i].size(), 8192u);
      EXPECT_TRUE(is_aligned((*lease)[i].data(), 4096));
    }
    first = starts_of(*lease);
  }
  {
    auto again = pool.take(3, 512, 8192);
    ASSERT_TRUE(again.has_value());
    for (const auto* start : starts_of(*again)) EXPECT_TRUE(first.contains(start));
    // Nothing lent is lent twice: the one kept buffer, then fresh memory.
    auto more = pool.take(2, 512, 100);
    ASSERT_TRUE(more.has_value());
    const auto lent = starts_of(*again);
    for (const auto* start : starts_of(*more)) EXPECT_FALSE(lent.contains(start));
  }
  // A larger need replaces what is kept instead of adding to it: once given
  // back, the larger buffers are the ones lent even for a small need. (The
  // freed small buffers' addresses may be reused, so they prove nothing.)
  std::set<const std::uint8_t*> larger_starts;
  {
    auto larger = pool.take(4, 512, 20'000);
    ASSERT_TRUE(larger.has_value());
    for (std::size_t i = 0; i < 4; ++i) EXPECT_GE((*larger)[i].size(), 20'000u);
    larger_starts = starts_of(*larger);
  }
  auto small = pool.take(4, 512, 100);
  ASSERT_TRUE(small.has_value());
  EXPECT_EQ(starts_of(*small), larger_starts);
}

// Fresh memory of this size is mapped on its own and not resident until
// touched, so residency shows that the lease got the prefaulted buffers.
TEST(TransferBufferPool, PrefaultedBuffersAreResidentWhenLent) {
  constexpr std::size_t kBytes = 4 * 1024 * 1024 + 4096;
  TransferBufferPool pool(kBytes);
  ASSERT_TRUE(pool.prefault(2, 512).has_value());
  auto lease = pool.take(2, 512, kBytes);
  ASSERT_TRUE(lease.has_value());
  const std::size_t pages = kBytes / 4096;
  for (std::size_t i = 0; i < lease->size(); ++i) {
    std::vector<unsigned char> resident(pages);
    ASSERT_EQ(::mincore((*lease)[i].data(), kBytes, resident.data()), 0);
    std::size_t count = 0;
    for (const unsigned char page : resident) count += page & 1;
    EXPECT_EQ(count, pages) << "buffer " << i;
  }
}

}  // namespace
}  // namespace ravik
