// Devices that accept only whole blocks at block-aligned positions.
#include <gtest/gtest.h>

#include "support/fault_injecting_device.h"
#include "support/memory_source.h"
#include "support/transaction_fixture.h"
#include "transaction/held_transaction.h"
#include "transaction/target_writes.h"

namespace ravik::testing {
namespace {

constexpr std::uint64_t kBlock = 4096;

TEST(AlignedWrite, OddSourceChunks_ReachDeviceOnlyAsWholeAlignedBlocks) {
  for (const std::uint64_t prefix : {std::uint64_t{0}, std::uint64_t{8192}}) {
    SCOPED_TRACE(prefix);
    const auto image = pattern_bytes(2 * 1'048'576);
    auto disk = std::make_shared<FakeDisk>(4 * 1'048'576, kUntouched);
    disk->logical_block_size = kBlock;
    disk->requires_aligned_io = true;
    auto held = hold(disk, write_request_for(image, disk->bytes.size(), prefix));
    MemorySource source(image, {1, 4095, 4097, 12'345, 777'777, 3});

    auto result = held->write_source_with_progress(source, {});

    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(slice(disk->bytes, 0, image.size()), image);
    ASSERT_FALSE(disk->writes.empty());
    // Every transfer is also given memory a direct-I/O device takes as it
    // is, odd chunks notwithstanding: no bounce copy.
    for (const Transfer& write : disk->writes) {
      EXPECT_EQ(write.offset % kBlock, 0u) << write.offset;
      EXPECT_EQ(write.length % kBlock, 0u) << write.length;
      EXPECT_GT(write.length, 0u);
      EXPECT_TRUE(write.memory_aligned) << write.offset;
    }
    for (const Transfer& read : disk->reads) {
      EXPECT_EQ(read.offset % kBlock, 0u);
      EXPECT_EQ(read.length % kBlock, 0u);
      EXPECT_TRUE(read.memory_aligned) << read.offset;
    }
  }
}

TEST(AlignedWrite, ZeroPadOnAlignedDevice_PadsLastBlockWithZeros) {
  const auto image = pattern_bytes(1'000'000);
  auto disk = std::make_shared<FakeDisk>(2'097'152, kUntouched);
  disk->logical_block_size = kBlock;
  disk->requires_aligned_io = true;
  auto held = hold(
      disk, write_request_for(image, disk->bytes.size(), 0, TailPolicy::kZeroPadSector));
  MemorySource source(image, {99'999});
  auto result = held->write_source_with_progress(source, {});
  ASSERT_TRUE(result.has_value()) << result.error().message();
  EXPECT_EQ(result->target_bytes_written, 1'003'520u);
  EXPECT_EQ(slice(disk->bytes, 1'000'000, 3520), std::vector<std::uint8_t>(3520, 0));
  EXPECT_EQ(disk->bytes[1'003'520], kUntouched);
}

TEST(WriteTargetAll, CancelSet_WritesNothingMore) {
  auto disk = std::make_shared<FakeDisk>(65536, kUntouched);
  disk->write_faults = {{.offset = 0, .kind = FaultKind::kShort, .short_length = 10}};
  std::atomic<bool> cancel{false};
  disk->on_call = [&](CallKind kind) {
    if (kind == CallKind::kWrite) cancel = true;
  };
  FaultInjectingDevice device(disk);
  std::uint64_t position = 0;
  std::uint64_t high_water = 0;
  const auto data = pattern_bytes(100);
  auto result = write_target_all(device, data, position, high_water, cancel);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code().text(), "CANCELED");
  EXPECT_EQ(disk->writes.size(), 1u);
  EXPECT_EQ(high_water, 10u);
  EXPECT_EQ(disk->bytes[10], kUntouched);
}

}  // namespace
}  // namespace ravik::testing
