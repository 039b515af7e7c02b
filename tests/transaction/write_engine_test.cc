#include "transaction/write_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "support/expect_error.h"
#include "support/fault_injecting_device.h"
#include "support/memory_source.h"
#include "support/transaction_fixture.h"
#include "transaction/held_transaction.h"

namespace ravik::testing {
namespace {

constexpr std::uint64_t kMiB = 1'048'576;

struct WriteRun {
  Result<WriteOutcome> result;
  std::vector<std::uint64_t> progress;
};

WriteRun write_with(HeldTransaction& transaction, MemorySource& source) {
  WriteRun run{.result = WriteOutcome{}, .progress = {}};
  run.result = transaction.write_source_with_progress(
      source, [&](std::uint64_t read) -> Result<void> {
        run.progress.push_back(read);
        return {};
      });
  return run;
}

TEST(WriteSourceWithProgress, PlainImage_LandsExactlyWithOutcomeAndProgressPerRead) {
  const auto image = pattern_bytes(10 * kMiB + 123);
  auto disk = std::make_shared<FakeDisk>(image.size() + 1000, kUntouched);
  auto held = hold(disk, write_request_for(image, disk->bytes.size()));
  MemorySource source(image, {3 * kMiB, 5 * kMiB, 1});

  const WriteRun run = write_with(*held, source);

  ASSERT_TRUE(run.result.has_value()) << run.result.error().message();
  const WriteOutcome& outcome = *run.result;
  EXPECT_EQ(outcome.source_sha256, Sha256::hex_of(image));
  EXPECT_EQ(outcome.bytes_written, image.size());
  EXPECT_EQ(outcome.target_bytes_written, image.size());
  EXPECT_EQ(outcome.protected_prefix_bytes, 0u);
  EXPECT_TRUE(outcome.protected_body_verified);
  EXPECT_TRUE(outcome.protected_prefix_verified);
  EXPECT_GT(outcome.write_speed_bps, 0u);
  EXPECT_EQ(slice(disk->bytes, 0, image.size()), image);
  EXPECT_EQ(slice(disk->bytes, image.size(), 1000),
            std::vector<std::uint8_t>(1000, kUntouched));
  // One call per source read: reads are capped by the chunk pattern and by
  // the 4 MiB read buffer.
  EXPECT_EQ(run.progress, (std::vector<std::uint64_t>{3 * kMiB, 7 * kMiB, 7 * kMiB + 1,
                                                      10 * kMiB + 1, 10 * kMiB + 123}));
  // Without a protected prefix nothing is read back.
  EXPECT_TRUE(disk->reads.empty());
  EXPECT_TRUE(held->written());
  EXPECT_TRUE(held->media_layout_ready());
  EXPECT_EQ(held->source_digest(), Sha256::hex_of(image));
  EXPECT_EQ(held->source_bytes_read(), image.size());
  EXPECT_EQ(held->target_high_water(), image.size());
  // Identity is proved before the first write and after the data is durable.
  EXPECT_EQ(disk->calls.front(), CallKind::kVerify);
  EXPECT_EQ(disk->calls.back(), CallKind::kVerify);
  EXPECT_EQ(disk->sync_calls, 1);
}

TEST(WriteSourceWithProgress, ProtectedPrefix_WrittenLastAndBothReadbacksRun) {
  const auto image = pattern_bytes(3 * kMiB + 5);
  const std::uint64_t prefix = 1 * kMiB;
  auto disk = std::make_shared<FakeDisk>(4 * kMiB, kUntouched);
  auto held = hold(disk, write_request_for(image, disk->bytes.size(), prefix));
  MemorySource source(image, {300'000});

  const WriteRun run = write_with(*held, source);

  ASSERT_TRUE(run.result.has_value()) << run.result.error().message();
  EXPECT_EQ(run.result->protected_prefix_bytes, prefix);
  EXPECT_EQ(slice(disk->bytes, 0, image.size()), image);
  // First progress after the whole prefix, then one per read.
  ASSERT_FALSE(run.progress.empty());
  EXPECT_EQ(run.progress.front(), prefix);
  EXPECT_EQ(run.progress.back(), image.size());
  // Writes: the zero pass over the prefix, the body from P on, the prefix
  // behind its first block, and the first block (the partition table) last.
  ASSERT_GE(disk->writes.size(), 4u);
  EXPECT_EQ(disk->writes.front().offset, 0u);
  EXPECT_EQ(disk->writes.front().length, prefix);
  EXPECT_TRUE(disk->writes.front().all_zero);
  EXPECT_EQ(disk->writes[1].offset, prefix);
  const Transfer& rest = disk->writes[disk->writes.size() - 2];
  EXPECT_EQ(rest.offset, 512u);
  EXPECT_EQ(rest.length, prefix - 512);
  EXPECT_EQ(disk->writes.back().offset, 0u);
  EXPECT_EQ(disk->writes.back().length, 512u);
  EXPECT_FALSE(disk->writes.back().all_zero);
  // Four syncs: after the zero pass, after the body, before and after the
  // first block.
  EXPECT_EQ(disk->sync_calls, 4);
  // Readbacks cover the body P..B and then the prefix 0..P.
  ASSERT_FALSE(disk->reads.empty());
  EXPECT_EQ(disk->reads.front().offset, prefix);
  EXPECT_EQ(disk->reads.back().offset + disk->reads.back().length, prefix);
}

TEST(WriteSourceWithProgress, PrefixEqualsImage_BodyLoopSkippedAndCommitWritesAll) {
  const auto image = pattern_bytes(8192);
  auto disk = std::make_shared<FakeDisk>(16384, kUntouched);
  auto held = hold(disk, write_request_for(image, disk->bytes.size(), image.size()));
  MemorySource source(image, {1000});

  const WriteRun run = write_with(*held, source);

  ASSERT_TRUE(run.result.has_value()) << run.result.error().message();
  EXPECT_EQ(slice(disk->bytes, 0, image.size()), image);
  EXPECT_EQ(run.progress, (std::vector<std::uint64_t>{8192}));
  ASSERT_EQ(disk->writes.size(), 3u);
  EXPECT_TRUE(disk->writes[0].all_zero);
  EXPECT_EQ(disk->writes[1].offset + disk->writes[1].length, image.size());
  EXPECT_EQ(disk->writes[2].offset, 0u);
}

TEST(WriteSourceWithProgress, ZeroPadSector_PadsToBlockAndReportsBothSizes) {
  for (const bool aligned : {false, true}) {
    SCOPED_TRACE(aligned ? "aligned" : "unaligned");
    const auto image = pattern_bytes(1'000'000);
    auto disk = std::make_shared<FakeDisk>(2'000'000 - 2'000'000 % 512, kUntouched);
    disk->logical_block_size = 512;
    disk->requires_aligned_io = aligned;
    auto held = hold(disk, write_request_for(image, disk->bytes.size(), 0,
                                             TailPolicy::kZeroPadSector));
    MemorySource source(image, {77'777});

    const WriteRun run = write_with(*held, source);

    ASSERT_TRUE(run.result.has_value()) << run.result.error().message();
    EXPECT_EQ(run.result->bytes_written, 1'000'000u);
    EXPECT_EQ(run.result->target_bytes_written, 1'000'448u);
    EXPECT_EQ(slice(disk->bytes, 0, image.size()), image);
    EXPECT_EQ(slice(disk->bytes, 1'000'000, 448), std::vector<std::uint8_t>(448, 0));
    EXPECT_EQ(disk->bytes[1'000'448], kUntouched);
    EXPECT_EQ(held->target_high_water(), 1'000'448u);
  }
}

TEST(WriteSourceWithProgress, ExactOnUnalignedDevice_WritesNoPadding) {
  const auto image = pattern_bytes(1'000'000);
  auto disk = std::make_shared<FakeDisk>(1'048'576, kUntouched);
  auto held = hold(disk, write_request_for(image, disk->bytes.size()));
  MemorySource source(image);
  const WriteRun run = write_with(*held, source);
  ASSERT_TRUE(run.result.has_value()) << run.result.error().message();
  EXPECT_EQ(run.result->target_bytes_written, 1'000'000u);
  EXPECT_EQ(disk->bytes[1'000'000], kUntouched);
}

TEST(WriteSourceWithProgress, GeometryAndSizeRefusals_BeforeAnySourceByte) {
  struct Case {
    const char* name;
    std::uint64_t block_size;
    bool aligned;
    std::uint64_t prefix;
    TailPolicy tail;
    std::optional<std::uint64_t> capacity_after_open;
    ErrorCode code;
    const char* message;
  };
  const Case cases[] = {
      {"zero block", 0, false, 0, TailPolicy::kExact, std::nullopt,
       codes::kDeviceNotRemovable,
       "The held target reported an invalid logical block size."},
      {"odd block", 3000, false, 0, TailPolicy::kExact, std::nullopt,
       codes::kDeviceNotRemovable,
       "The held target reported an invalid logical block size."},
      {"prefix", 4096, true, 512, TailPolicy::kZeroPadSector, std::nullopt,
       codes::kWriteFailed,
       "The protected prefix is not aligned to the target's logical block size."},
      {"exact", 512, true, 0, TailPolicy::kExact, std::nullopt, codes::kWriteFailed,
       "The exact write is not aligned to the target's logical block size."},
      {"too small", 512, false, 0, TailPolicy::kZeroPadSector, 1'000'200,
       codes::kDeviceTooSmall,
       "The sector-aligned source does not fit on the selected target."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto image = pattern_bytes(1'000'000);
    auto disk = std::make_shared<FakeDisk>(2'000'000, kUntouched);
    disk->logical_block_size = c.block_size;
    disk->requires_aligned_io = c.aligned;
    auto held =
        hold(disk, write_request_for(image, disk->bytes.size(), c.prefix, c.tail));
    disk->reported_capacity = c.capacity_after_open;
    MemorySource source(image);

    const WriteRun run = write_with(*held, source);

    expect_error(run.result, c.code, c.message);
    EXPECT_EQ(source.reads(), 0);
    EXPECT_TRUE(disk->writes.empty());
    EXPECT_EQ(held->source_bytes_read(), 0u);
    EXPECT_FALSE(held->written());
  }
}

TEST(WriteImage, ImpossiblePlans_AreRefusedBeforeDeviceWork) {
  auto disk = std::make_shared<FakeDisk>(4096);
  FaultInjectingDevice device(disk);
  MemorySource source({});
  WriteCounters counters;
  std::atomic<bool> cancel{false};
  TransferBufferPool buffers;
  const ImageWritePlan plan{.bytes_total = std::numeric_limits<std::uint64_t>::max() - 10,
                            .protected_prefix_bytes = 0,
                            .tail_policy = TailPolicy::kZeroPadSector,
                            .expected_sha256 = std::string(64, '0')};
  auto result = write_image(device, plan, source, {}, counters, cancel, {}, buffers);
  expect_error(result, codes::kDeviceTooSmall, "Padded write size overflow.");

  const ImageWritePlan inverted{.bytes_total = 100,
                                .protected_prefix_bytes = 101,
                                .tail_policy = TailPolicy::kExact,
                                .expected_sha256 = std::string(64, '0')};
  expect_error(write_image(device, inverted, source, {}, counters, cancel, {}, buffers),
               codes::kProtocolError,
               "protectedPrefixBytes exceeds the source or protocol limit.");
  EXPECT_TRUE(disk->writes.empty());
}

TEST(WriteSourceWithProgress, StreamLengthFaults_AreImageMissing) {
  // Ends after 10 of 20 bytes.
  {
    const auto image = pattern_bytes(20);
    auto disk = std::make_shared<FakeDisk>(4096, kUntouched);
    auto held = hold(disk, write_request_for(image, disk->bytes.size()));
    MemorySource source(image);
    source.end_after = 10;
    const WriteRun run = write_with(*held, source);
    expect_error(run.result, codes::kImageMissing,
                 "The source stream ended after 10 of 20 bytes.");
    EXPECT_EQ(held->source_bytes_read(), 10u);
    EXPECT_EQ(held->target_high_water(), 10u);
  }
  // Ends inside the protected prefix.
  {
    const auto image = pattern_bytes(20'000);
    auto disk = std::make_shared<FakeDisk>(65536, kUntouched);
    auto held = hold(disk, write_request_for(image, disk->bytes.size(), 8192));
    MemorySource source(image, {1000});
    source.end_after = 5000;
    const WriteRun run = write_with(*held, source);
    expect_error(run.result, codes::kImageMissing,
                 "The source stream ended inside the protected prefix.");
    EXPECT_EQ(held->source_bytes_read(), 5000u);
    EXPECT_EQ(held->target_high_water(), 0u);
    EXPECT_TRUE(disk->writes.empty());
  }
  // One byte too many: refused after all B bytes were written, before the
  // tail, the final sync and the digest check.
  {
    auto longer = pattern_bytes(1001);
    const std::vector<std::uint8_t> image(longer.begin(), longer.end() - 1);
    auto disk = std::make_shared<FakeDisk>(4096, kUntouched);
    auto held = hold(disk, write_request_for(image, disk->bytes.size(), 0,
                                             TailPolicy::kZeroPadSector));
    MemorySource source(longer);
    const WriteRun run = write_with(*held, source);
    expect_error(run.result, codes::kImageMissing,
                 "The source stream contained bytes beyond bytesTotal.");
    EXPECT_EQ(slice(disk->bytes, 0, 1000), image);
    EXPECT_EQ(disk->bytes[1000], kUntouched);  // no padding written
    EXPECT_EQ(disk->sync_calls, 0);
    EXPECT_EQ(held->source_bytes_read(), 1000u);
    EXPECT_FALSE(held->written());
  }
}

TEST(WriteSourceWithProgress, DigestMismatch_WritesAndSyncsThenFailsWithPrefixBlank) {
  const auto image = pattern_bytes(100'000);
  auto request = write_request_for(image, 131072, 4096);
  request.source.sha256 = Sha256::hex_of(pattern_bytes(100'000, 2));
  auto disk = std::make_shared<FakeDisk>(131072, kUntouched);
  auto held = hold(disk, request);
  MemorySource source(image);

  const WriteRun run = write_with(*held, source);

  expect_error(run.result, codes::kImageMissing,
               "The source changed after preparation; prepare the image again before "
               "retrying.");
  EXPECT_EQ(slice(disk->bytes, 4096, 100'000 - 4096), slice(image, 4096, 100'000 - 4096));
  EXPECT_EQ(slice(disk->bytes, 0, 4096), std::vector<std::uint8_t>(4096, 0));
  EXPECT_EQ(disk->sync_calls, 2);
  EXPECT_FALSE(held->written());
  EXPECT_FALSE(held->source_digest().has_value());
}

// Only the application's abort is classified as one; the session tells it
// from a cancel by that cause, not by the words of the message.
TEST(WriteSourceWithProgress, SourceErrorKinds_MapToCancelRetryOrImageMissing) {
  const auto image = pattern_bytes(50'000);
  {
    auto disk = std::make_shared<FakeDisk>(65536);
    auto held = hold(disk, write_request_for(image, disk->bytes.size()));
    MemorySource source(image, {10'000});
    source.faults.push_back(
        {.at = 20'000, .kind = IoErrorKind::kConnectionAborted, .times = 1});
    const WriteRun run = write_with(*held, source);
    expect_error(run.result, codes::kCanceled,
                 "The source stream was canceled: injected source failure");
    EXPECT_EQ(run.result.error().cause(), ErrorCause::kSourceAborted);
    EXPECT_EQ(held->source_bytes_read(), 20'000u);
  }
  {
    auto disk = std::make_shared<FakeDisk>(65536);
    auto held = hold(disk, write_request_for(image, disk->bytes.size(), 4096));
    MemorySource source(image, {1000});
    source.faults.push_back({.at = 2000, .kind = IoErrorKind::kInterrupted, .times = 5});
    source.faults.push_back(
        {.at = 30'000, .kind = IoErrorKind::kInterrupted, .times = 5});
    const WriteRun run = write_with(*held, source);
    ASSERT_TRUE(run.result.has_value()) << run.result.error().message();
    EXPECT_EQ(slice(disk->bytes, 0, image.size()), image);
  }
  {
    auto disk = std::make_shared<FakeDisk>(65536);
    auto held = hold(disk, write_request_for(image, disk->bytes.size()));
    MemorySource source(image, {10'000});
    source.faults.push_back(
        {.at = 10'000, .kind = IoErrorKind::kInvalidData, .times = 1});
    const WriteRun run = write_with(*held, source);
    expect_error(run.result, codes::kImageMissing,
                 "Could not read the source stream: injected source failure");
    EXPECT_EQ(run.result.error().cause(), ErrorCause::kUnclassified);
  }
}

TEST(WriteSourceWithProgress, DeviceWriteFaults_RetryInterruptedFailOthers) {
  const auto image = pattern_bytes(40'000);
  // Interrupted and short writes are absorbed.
  {
    auto disk = std::make_shared<FakeDisk>(65536);
    disk->write_faults = {{.offset = 100, .kind = FaultKind::kInterrupted, .times = 3},
                          {.offset = 5000, .kind = FaultKind::kShort, .short_length = 7}};
    auto held = hold(disk, write_request_for(image, disk->bytes.size()));
    MemorySource source(image);
    const WriteRun run = write_with(*held, source);
    ASSERT_TRUE(run.result.has_value()) << run.result.error().message();
    EXPECT_EQ(slice(disk->bytes, 0, image.size()), image);
  }
  // A write that makes no progress.
  {
    auto disk = std::make_shared<FakeDisk>(65536);
    disk->write_faults = {{.offset = 0, .kind = FaultKind::kZero}};
    auto held = hold(disk, write_request_for(image, disk->bytes.size()));
    MemorySource source(image);
    const WriteRun run = write_with(*held, source);
    expect_error(
        run.result, codes::kWriteFailed,
        "Could not write the held target: the held target made no write progress");
  }
  // An input/output error names where the stick failed; others carry the
  // OS text.
  {
    auto disk = std::make_shared<FakeDisk>(65536);
    disk->write_faults = {
        {.offset = 30'060, .kind = FaultKind::kFail, .os_error = ENOSPC}};
    auto held = hold(disk, write_request_for(image, disk->bytes.size()));
    MemorySource source(image, {30'050});
    expect_error(write_with(*held, source).result, codes::kWriteFailed,
                 "Could not write the held target: " + os_error_text(ENOSPC));
  }
  {
    auto disk = std::make_shared<FakeDisk>(65536);
    disk->write_faults = {{.offset = 30'060, .kind = FaultKind::kFail, .os_error = EIO}};
    auto held = hold(disk, write_request_for(image, disk->bytes.size()));
    MemorySource source(image, {30'050});
    const WriteRun run = write_with(*held, source);
    expect_error(run.result, codes::kWriteFailed,
                 "The stick failed to store data at 29.3 KiB (input/output error): it is "
                 "probably damaged.");
    EXPECT_EQ(held->target_high_water(), 30'050u);
    EXPECT_EQ(held->source_bytes_read(), 40'000u);
  }
  // A device claiming to have written more than it was given.
  {
    auto disk = std::make_shared<FakeDisk>(65536);
    disk->overreport_writes = true;
    auto held = hold(disk, write_request_for(image, disk->bytes.size()));
    MemorySource source(image);
    const WriteRun run = write_with(*held, source);
    expect_error(run.result, codes::kWriteFailed,
                 "The held target reported writing beyond the supplied buffer.");
  }
}

TEST(WriteSourceWithProgress, SingleShot_SecondRunRefusedAfterFailureOrSuccess) {
  const auto image = pattern_bytes(20);
  {
    auto disk = std::make_shared<FakeDisk>(4096);
    auto held = hold(disk, write_request_for(image, disk->bytes.size()));
    MemorySource short_source(image);
    short_source.end_after = 10;
    ASSERT_FALSE(write_with(*held, short_source).result.has_value());
    MemorySource full(image);
    expect_error(write_with(*held, full).result, codes::kProtocolError,
                 "The source can be written only once.");
    EXPECT_EQ(full.reads(), 0);
  }
  {
    auto disk = std::make_shared<FakeDisk>(4096);
    auto held = hold(disk, write_request_for(image, disk->bytes.size()));
    MemorySource first(image);
    ASSERT_TRUE(write_with(*held, first).result.has_value());
    MemorySource second(image);
    expect_error(write_with(*held, second).result, codes::kProtocolError,
                 "The source can be written only once.");
  }
}

TEST(WriteSourceWithProgress, RefusalsBeforeTheEngine_FormatOnlyCanceledOrIdentityLost) {
  const auto image = pattern_bytes(20);
  {
    auto disk = std::make_shared<FakeDisk>(4096);
    auto held = hold(disk, format_request_for(disk->bytes.size()));
    MemorySource source(image);
    expect_error(write_with(*held, source).result, codes::kProtocolError,
                 "Source operations are unavailable in a format-only transaction.");
  }
  {
    auto disk = std::make_shared<FakeDisk>(4096);
    auto held = hold(disk, write_request_for(image, disk->bytes.size()));
    held->request_cancellation();
    MemorySource source(image);
    const WriteRun canceled = write_with(*held, source);
    expect_error(canceled.result, codes::kCanceled, "The transaction was canceled.");
    EXPECT_EQ(canceled.result.error().cause(), ErrorCause::kUnclassified);
    EXPECT_EQ(source.reads(), 0);
    // Nothing was consumed, so the write may still run once cancellation
    // is cleared.
    held->clear_cancellation_for_recovery();
    EXPECT_TRUE(write_with(*held, source).result.has_value());
  }
  {
    auto disk = std::make_shared<FakeDisk>(4096);
    auto held = hold(disk, write_request_for(image, disk->bytes.size()));
    disk->identity_checks_before_loss = disk->identity_checks;
    MemorySource source(image);
    auto run = write_with(*held, source);
    ASSERT_FALSE(run.result.has_value());
    EXPECT_EQ(run.result.error().code().text(), "DEVICE_DISCONNECTED");
    EXPECT_EQ(source.reads(), 0);
  }
  // Identity lost at the final proof: everything is on the target, but the
  // write does not count as done.
  {
    auto disk = std::make_shared<FakeDisk>(4096);
    auto held = hold(disk, write_request_for(image, disk->bytes.size()));
    disk->identity_checks_before_loss = disk->identity_checks + 1;
    MemorySource source(image);
    auto run = write_with(*held, source);
    ASSERT_FALSE(run.result.has_value());
    EXPECT_EQ(run.result.error().code().text(), "DEVICE_DISCONNECTED");
    EXPECT_EQ(slice(disk->bytes, 0, 20), image);
    EXPECT_FALSE(held->written());
    EXPECT_FALSE(held->media_layout_ready());
  }
}

TEST(WriteSourceWithProgress, ProgressFailure_EndsTheWriteWithThatError) {
  const auto image = pattern_bytes(30'000);
  auto disk = std::make_shared<FakeDisk>(65536, kUntouched);
  auto held = hold(disk, write_request_for(image, disk->bytes.size()));
  MemorySource source(image, {10'000});
  int calls = 0;
  auto result =
      held->write_source_with_progress(source, [&](std::uint64_t) -> Result<void> {
        if (++calls == 2)
          return fail(codes::kUnknown, "Could not write the progress event.");
        return {};
      });
  expect_error(result, codes::kUnknown, "Could not write the progress event.");
  // The source may have been read ahead; nothing after the failed step was
  // written.
  EXPECT_GE(held->source_bytes_read(), 20'000u);
  EXPECT_EQ(held->source_bytes_read(), source.delivered());
  EXPECT_EQ(disk->bytes[20'000], kUntouched);
  EXPECT_EQ(held->target_high_water(), 20'000u);
}

}  // namespace
}  // namespace ravik::testing
