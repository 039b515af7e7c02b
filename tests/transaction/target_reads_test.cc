#include "transaction/target_reads.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/expect_error.h"
#include "support/fault_injecting_device.h"
#include "support/memory_source.h"
#include "support/transaction_fixture.h"
#include "transaction/held_transaction.h"

namespace ravik::testing {
namespace {

TEST(ReadTargetRange, AlignedDevice_TenBytesAt4090ReadsTwoWholeBlocks) {
  auto disk = std::make_shared<FakeDisk>(16384);
  disk->bytes = pattern_bytes(16384, 3);
  disk->logical_block_size = 4096;
  disk->requires_aligned_io = true;
  FaultInjectingDevice device(disk);
  std::vector<std::uint8_t> buffer(10);

  ASSERT_TRUE(read_target_range(device, 4090, buffer));

  EXPECT_EQ(buffer, slice(disk->bytes, 4090, 10));
  ASSERT_EQ(disk->reads.size(), 2u);
  EXPECT_EQ(disk->reads[0].offset, 0u);
  EXPECT_EQ(disk->reads[0].length, 4096u);
  EXPECT_EQ(disk->reads[1].offset, 4096u);
  EXPECT_EQ(disk->reads[1].length, 4096u);

  // An aligned request goes to the device in one read.
  disk->reads.clear();
  std::vector<std::uint8_t> whole(8192);
  ASSERT_TRUE(read_target_range(device, 4096, whole));
  EXPECT_EQ(whole, slice(disk->bytes, 4096, 8192));
  EXPECT_EQ(disk->reads.size(), 1u);
}

TEST(ReadTargetRange, RangeGeometryAndDeviceFailures_AreDeviceDisconnected) {
  auto disk = std::make_shared<FakeDisk>(8192 + 100);
  FaultInjectingDevice device(disk);
  std::vector<std::uint8_t> buffer(10);
  expect_error(
      read_target_range(device, std::numeric_limits<std::uint64_t>::max() - 5, buffer),
      "DEVICE_DISCONNECTED", "Target read range overflowed.");
  expect_error(read_target_range(device, 8192 + 91, buffer), "DEVICE_DISCONNECTED",
               "Target read range exceeds held capacity.");
  EXPECT_TRUE(read_target_range(device, 8192 + 100, std::span<std::uint8_t>()));

  disk->read_faults = {{.offset = 45, .kind = FaultKind::kFail, .os_error = EIO}};
  expect_error(read_target_range(device, 40, buffer), "DEVICE_DISCONNECTED",
               "The stick failed to read data at 40 B (input/output error): it is "
               "probably damaged.");
  // Other failures keep the system's text.
  disk->read_faults = {{.offset = 45, .kind = FaultKind::kFail, .os_error = ENXIO}};
  expect_error(read_target_range(device, 40, buffer), "DEVICE_DISCONNECTED",
               "Could not read the held target: " + os_error_text(ENXIO));
  disk->read_faults = {{.offset = 45, .kind = FaultKind::kZero}};
  auto ended = read_target_range(device, 40, buffer);
  ASSERT_FALSE(ended.has_value());
  EXPECT_TRUE(ended.error().message().starts_with("Could not read the held target: "));
  // Interrupted and short reads are absorbed.
  disk->read_faults = {{.offset = 42, .kind = FaultKind::kInterrupted, .times = 2},
                       {.offset = 41, .kind = FaultKind::kShort, .short_length = 3}};
  ASSERT_TRUE(read_target_range(device, 40, buffer));
  EXPECT_EQ(buffer, slice(disk->bytes, 40, 10));

  disk->requires_aligned_io = true;
  disk->logical_block_size = 256;
  expect_error(read_target_range(device, 4, buffer), "DEVICE_DISCONNECTED",
               "The held target reported invalid aligned-read geometry.");
  disk->logical_block_size = 4096;
  // The block holding the last bytes reaches past the held capacity.
  expect_error(read_target_range(device, 8192 + 10, buffer), "DEVICE_DISCONNECTED",
               "Aligned target read would exceed held capacity.");
}

TEST(HashTargetRange, RangesCancellationAndEmptyRange) {
  auto disk = std::make_shared<FakeDisk>(10'000);
  disk->bytes = pattern_bytes(10'000);
  FaultInjectingDevice device(disk);
  std::atomic<bool> cancel{false};
  TransferBufferPool buffers;
  auto digest = hash_target_range(buffers, device, 100, 5000, cancel);
  ASSERT_TRUE(digest.has_value());
  EXPECT_EQ(*digest, Sha256::hex_of(slice(disk->bytes, 100, 5000)));
  EXPECT_EQ(*hash_target_range(buffers, device, 10'000, 0, cancel),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  expect_error(hash_target_range(buffers, device, 2,
                                 std::numeric_limits<std::uint64_t>::max(), cancel),
               "VERIFY_MISMATCH", "Verification range overflow.");
  expect_error(hash_target_range(buffers, device, 1, 10'000, cancel), "VERIFY_MISMATCH",
               "Verification range exceeds target capacity.");
  cancel = true;
  disk->reads.clear();
  expect_error(hash_target_range(buffers, device, 0, 10, cancel), "CANCELED",
               "The transaction was canceled.");
  EXPECT_TRUE(disk->reads.empty());
}

TEST(HashTargetRange, ReadAhead_StepsInOrderAlignedAndFailureAfterEarlierSteps) {
  // Two and a half steps and a part block, on a device that takes only
  // aligned transfers.
  constexpr std::uint64_t kLength = 2 * kHashStepBytes + kHashStepBytes / 2 + 100;
  auto disk = std::make_shared<FakeDisk>(3 * kHashStepBytes);
  disk->bytes = pattern_bytes(disk->bytes.size(), 5);
  disk->logical_block_size = 4096;
  disk->requires_aligned_io = true;
  FaultInjectingDevice device(disk);
  std::atomic<bool> cancel{false};
  TransferBufferPool buffers;
  std::vector<std::uint64_t> steps;
  const HashStepObserver note_step = [&](std::uint64_t hashed) -> Result<void> {
    steps.push_back(hashed);
    return {};
  };

  auto digest = hash_target_range(buffers, device, 0, kLength, cancel, note_step);
  ASSERT_TRUE(digest.has_value()) << digest.error().message();
  EXPECT_EQ(*digest, Sha256::hex_of(slice(disk->bytes, 0, kLength)));
  EXPECT_EQ(steps,
            (std::vector<std::uint64_t>{kHashStepBytes, 2 * kHashStepBytes, kLength}));
  // One read per step, plus the last part block through the staging block.
  ASSERT_EQ(disk->reads.size(), 4u);
  for (const Transfer& read : disk->reads) EXPECT_TRUE(read.memory_aligned);

  // A failing read of the second step surfaces after the first step was
  // hashed and reported, never before it and never with a later step.
  steps.clear();
  disk->read_faults = {{.offset = kHashStepBytes + 4096, .kind = FaultKind::kFail}};
  expect_error(hash_target_range(buffers, device, 0, kLength, cancel, note_step),
               "DEVICE_DISCONNECTED",
               "The stick failed to read data at 4.0 MiB (input/output error): it is "
               "probably damaged.");
  EXPECT_EQ(steps, (std::vector<std::uint64_t>{kHashStepBytes}));
}

class WrittenTransaction : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = pattern_bytes(3 * 1'048'576 + 7);
    disk_ = std::make_shared<FakeDisk>(8 * 1'048'576, kUntouched);
    held_ = hold(disk_, write_request_for(image_, disk_->bytes.size()));
    MemorySource source(image_);
    ASSERT_TRUE(held_->write_source_with_progress(source, {}).has_value());
  }

  std::vector<std::uint8_t> image_;
  std::shared_ptr<FakeDisk> disk_;
  HeldFake held_;
};

TEST_F(WrittenTransaction, ReadRange_BoundsAndContents) {
  auto largest = held_->read_range(1000, 1'048'576);
  ASSERT_TRUE(largest.has_value());
  EXPECT_EQ(*largest, slice(image_, 1000, 1'048'576));

  // The length bound comes before the range checks.
  expect_error(held_->read_range(std::numeric_limits<std::uint64_t>::max(), 1'048'577),
               "PROTOCOL_ERROR", "Read length is outside the 1 MiB protocol bound.");
  expect_error(held_->read_range(std::numeric_limits<std::uint64_t>::max(), 0),
               "PROTOCOL_ERROR", "Read length is outside the 1 MiB protocol bound.");
  expect_error(held_->read_range(std::numeric_limits<std::uint64_t>::max(), 2),
               "PROTOCOL_ERROR", "Read range overflow.");

  const std::uint64_t total = image_.size();
  auto tail = held_->read_range(total - 100, 100);
  ASSERT_TRUE(tail.has_value());
  EXPECT_EQ(*tail, slice(image_, total - 100, 100));
  expect_error(held_->read_range(total - 100, 101), "PROTOCOL_ERROR",
               "Read range exceeds the written source boundary.");

  const int checks = disk_->identity_checks;
  ASSERT_TRUE(held_->read_range(0, 1));
  EXPECT_EQ(disk_->identity_checks, checks + 2);

  held_->request_cancellation();
  disk_->reads.clear();
  expect_error(held_->read_range(0, 10), "CANCELED", "The transaction was canceled.");
  EXPECT_TRUE(disk_->reads.empty());
}

TEST(ReadRange, BeforeTheWrite_RefusedWhateverTheRange) {
  auto disk = std::make_shared<FakeDisk>(4096);
  const auto image = pattern_bytes(100);
  auto held = hold(disk, write_request_for(image, 4096));
  for (const auto& [offset, length] :
       {std::pair<std::uint64_t, std::uint64_t>{0, 10}, {0, 0}, {5000, 2'000'000}}) {
    expect_error(held->read_range(offset, length), "PROTOCOL_ERROR",
                 "The source write has not completed.");
  }
}

TEST(VerifyWithProgress, TenMiBImage_ThreeStepsOf4MiBAndMatchAlsoAfterAFailedPass) {
  const auto image = pattern_bytes(10 * 1'048'576, 9);
  auto disk = std::make_shared<FakeDisk>(12 * 1'048'576);
  auto held = hold(disk, write_request_for(image, disk->bytes.size()));
  MemorySource source(image);
  ASSERT_TRUE(held->write_source_with_progress(source, {}).has_value());

  std::vector<VerifyProgressStep> steps;
  VerifyProgress progress{.started = std::chrono::steady_clock::now(),
                          .emit = [&](const VerifyProgressStep& step) -> Result<void> {
                            steps.push_back(step);
                            return {};
                          }};
  const int syncs = disk->sync_calls;
  auto outcome = held->verify_with_progress(progress);

  ASSERT_TRUE(outcome.has_value()) << outcome.error().message();
  EXPECT_TRUE(outcome->matches);
  EXPECT_EQ(outcome->bytes_verified, image.size());
  EXPECT_EQ(outcome->source_sha256, Sha256::hex_of(image));
  EXPECT_EQ(outcome->target_sha256, Sha256::hex_of(image));
  EXPECT_EQ(disk->sync_calls, syncs + 1);
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[0].bytes_processed, 4'194'304u);
  EXPECT_EQ(steps[1].bytes_processed, 8'388'608u);
  EXPECT_EQ(steps[2].bytes_processed, 10'485'760u);
  for (const auto& step : steps) {
    EXPECT_EQ(step.bytes_total, 10'485'760u);
    EXPECT_EQ(step.message, "Verifying the held target");
  }

  // The write and every verification share the transaction's buffers; a pass
  // that stops halfway gives them back whole for the next one.
  disk->read_faults.push_back(IoFault{.offset = 6 * 1'048'576});
  auto failed = held->verify_with_progress({});
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().code().text(), "DEVICE_DISCONNECTED");
  auto again = held->verify_with_progress({});
  ASSERT_TRUE(again.has_value()) << again.error().message();
  EXPECT_TRUE(again->matches);
}

TEST_F(WrittenTransaction, VerifyWithProgress_AlteredTargetIsMismatchNotError) {
  disk_->bytes[12345] ^= 0xFF;
  auto outcome = held_->verify_with_progress({});
  ASSERT_TRUE(outcome.has_value()) << outcome.error().message();
  EXPECT_FALSE(outcome->matches);
  EXPECT_EQ(outcome->source_sha256, Sha256::hex_of(image_));
  EXPECT_EQ(outcome->target_sha256,
            Sha256::hex_of(slice(disk_->bytes, 0, image_.size())));
  EXPECT_NE(outcome->source_sha256, outcome->target_sha256);
  // Bytes after the image (padding, the rest of the disk) are not compared.
  disk_->bytes[12345] ^= 0xFF;
  disk_->bytes[image_.size()] = 0x42;
  EXPECT_TRUE(held_->verify_with_progress({})->matches);
}

TEST_F(WrittenTransaction, VerifyWithProgress_RefusalsAndFailures) {
  held_->request_cancellation();
  disk_->reads.clear();
  expect_error(held_->verify_with_progress({}), "CANCELED",
               "The transaction was canceled.");
  EXPECT_TRUE(disk_->reads.empty());
  held_->clear_cancellation_for_recovery();

  // A failing progress event ends the verification.
  VerifyProgress failing{.started = std::chrono::steady_clock::now(),
                         .emit = [](const VerifyProgressStep&) -> Result<void> {
                           return fail(codes::kUnknown, "Could not write the event.");
                         }};
  expect_error(held_->verify_with_progress(failing), "UNKNOWN",
               "Could not write the event.");

  disk_->reported_capacity = image_.size() - 1;
  expect_error(held_->verify_with_progress({}), "VERIFY_MISMATCH",
               "Verification range exceeds target capacity.");
  disk_->reported_capacity.reset();

  disk_->identity_checks_before_loss = disk_->identity_checks + 1;
  auto lost = held_->verify_with_progress({});
  ASSERT_FALSE(lost.has_value());
  EXPECT_EQ(lost.error().code().text(), "DEVICE_DISCONNECTED");
  disk_->identity_checks_before_loss.reset();

  disk_->fail_sync_from_call = disk_->sync_calls + 1;
  auto unsynced = held_->verify_with_progress({});
  ASSERT_FALSE(unsynced.has_value());
  EXPECT_EQ(unsynced.error().code().text(), "WRITE_FAILED");
}

TEST(VerifyWithProgress, BeforeTheWrite_IsProtocolError) {
  auto disk = std::make_shared<FakeDisk>(4096);
  auto held = hold(disk, write_request_for(pattern_bytes(10), 4096));
  expect_error(held->verify_with_progress({}), "PROTOCOL_ERROR",
               "The source write has not completed.");
  EXPECT_EQ(disk->sync_calls, 0);
}

}  // namespace
}  // namespace ravik::testing
