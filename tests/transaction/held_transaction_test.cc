#include "transaction/held_transaction.h"

#include <gtest/gtest.h>

#include "support/expect_error.h"
#include "support/fault_injecting_device.h"
#include "support/memory_source.h"
#include "support/transaction_fixture.h"

namespace ravik::testing {
namespace {

// Openers that stand for a backend; their distinct refusals tell which one
// (if any) an open reached.
Result<std::unique_ptr<HeldDeviceIo>> block_opener(const SelectedDisk&,
                                                   const DeviceOpenPolicy& policy) {
  return fail(codes::kDeviceDisconnected, policy.treat_loop_devices_as_removable
                                              ? "block opener reached with loops"
                                              : "block opener reached");
}

Result<std::unique_ptr<HeldDeviceIo>> file_opener(const SelectedDisk&,
                                                  const DeviceOpenPolicy&) {
  return fail(codes::kDeviceDisconnected, "file opener reached");
}

// Opens a fresh fake disk of the requested size.
Result<std::unique_ptr<HeldDeviceIo>> fake_opener(const SelectedDisk& target,
                                                  const DeviceOpenPolicy&) {
  return FaultInjectingDevice::make(std::make_shared<FakeDisk>(target.size_bytes));
}

TEST(HeldTransactionOpen, RefusalsComeBeforeAnyBackendIsReached) {
  const auto image = pattern_bytes(100);
  const DeviceOpeners production{.platform = PlatformName::kLinux,
                                 .policy = {},
                                 .block_device = &block_opener,
                                 .regular_file = nullptr};
  // testOnlyAllowRegularFile in a build without the file backend.
  auto write = write_request_for(image, 4096);
  write.test_only_allow_regular_file = true;
  write.target.platform = PlatformName::kMacos;  // the flag is refused first
  expect_error(HeldTransaction::open(write, nullptr, production), "DEVICE_NOT_REMOVABLE",
               "testOnlyAllowRegularFile is unavailable in production builds.");
  auto format = format_request_for(4096);
  format.test_only_allow_regular_file = true;
  expect_error(HeldTransaction::open_format(format, nullptr, production),
               "DEVICE_NOT_REMOVABLE",
               "testOnlyAllowRegularFile is unavailable in production builds.");

  // A request prepared for another platform.
  auto foreign = write_request_for(image, 4096);
  foreign.target.platform = PlatformName::kMacos;
  expect_error(HeldTransaction::open(foreign, nullptr, production),
               "DEVICE_NOT_REMOVABLE",
               "The request platform does not match this helper build.");
  auto foreign_format = format_request_for(4096);
  foreign_format.target.platform = PlatformName::kMacos;
  expect_error(HeldTransaction::open_format(foreign_format, nullptr, production),
               "DEVICE_NOT_REMOVABLE",
               "The request platform does not match this helper build.");

  // Validation errors come back unchanged, before everything else.
  auto invalid = write_request_for(image, 4096);
  invalid.source.sha256[0] = 'A';
  invalid.test_only_allow_regular_file = true;
  expect_error(HeldTransaction::open(invalid, nullptr, production), "PROTOCOL_ERROR",
               "source.sha256 must be exactly 64 lowercase hexadecimal characters.");
  auto too_large = write_request_for(pattern_bytes(5000), 4096);
  expect_error(HeldTransaction::open(too_large, nullptr, production), "DEVICE_TOO_SMALL",
               "The source image is larger than the selected target.");
}

TEST(HeldTransactionOpen, BackendChoice_FollowsTheRequestAndTheBuild) {
  const auto image = pattern_bytes(100);
  const DeviceOpeners testing_build{.platform = PlatformName::kLinux,
                                    .policy = {.treat_loop_devices_as_removable = true},
                                    .block_device = &block_opener,
                                    .regular_file = &file_opener};
  auto plain = write_request_for(image, 4096);
  expect_error(HeldTransaction::open(plain, nullptr, testing_build),
               "DEVICE_DISCONNECTED", "block opener reached with loops");
  auto file = write_request_for(image, 4096);
  file.test_only_allow_regular_file = true;
  expect_error(HeldTransaction::open(file, nullptr, testing_build), "DEVICE_DISCONNECTED",
               "file opener reached");

  const DeviceOpeners no_backend{.platform = PlatformName::kLinux,
                                 .policy = {},
                                 .block_device = nullptr,
                                 .regular_file = nullptr};
  auto refused =
      HeldTransaction::open_format(format_request_for(4096), nullptr, no_backend);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().code().text(), "DEVICE_NOT_REMOVABLE");
  EXPECT_TRUE(refused.error().message().starts_with(
      "This helper build cannot serve the selected target"));

  const DeviceOpeners fake{.platform = PlatformName::kLinux,
                           .policy = {},
                           .block_device = &fake_opener,
                           .regular_file = nullptr};
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  auto opened = HeldTransaction::open(write_request_for(image, 4096), cancel, fake);
  ASSERT_TRUE(opened.has_value()) << opened.error().message();
  EXPECT_EQ(opened->identity().device_id, "fake0");
  EXPECT_EQ(opened->logical_block_size(), 512u);
  EXPECT_TRUE(opened->write_request().has_value());
  // The session's flag is the transaction's flag.
  cancel->store(true);
  EXPECT_FALSE(opened->ensure_not_canceled().has_value());
}

TEST(HeldTransactionFromOpenRequest,
     CapacityOrIdentityMismatch_RefusedAndDeviceReleased) {
  for (const std::int64_t delta : {-1, 1}) {
    auto disk = std::make_shared<FakeDisk>(4096);
    disk->reported_capacity = 4096 + delta;
    auto opened = HeldTransaction::from_open_request(
        format_request_for(4096), FaultInjectingDevice::make(disk), nullptr);
    expect_error(opened, "DEVICE_NOT_REMOVABLE",
                 "The held target capacity does not match the confirmed device.");
    EXPECT_EQ(disk.use_count(), 1) << "the device was not released";
  }
  auto disk = std::make_shared<FakeDisk>(4096);
  disk->identity_checks_before_loss = 0;
  auto lost = HeldTransaction::from_open_request(
      format_request_for(4096), FaultInjectingDevice::make(disk), nullptr);
  expect_error(lost, "DEVICE_DISCONNECTED",
               "The held target no longer is the selected device.");
  EXPECT_EQ(disk.use_count(), 1);
  EXPECT_EQ(disk->count(CallKind::kVerify), 1);
}

TEST(HeldTransaction, RegisterOperation_LengthNulAndReuseRules) {
  auto held = hold(std::make_shared<FakeDisk>(4096), format_request_for(4096));
  const std::string too_long(257, 'a');
  const std::string with_nul("ab\0cd", 5);
  for (const std::string& id : {too_long, std::string(), with_nul}) {
    expect_error(held->register_operation(id), "PROTOCOL_ERROR",
                 "operationId must contain 1-256 non-NUL bytes.");
  }
  EXPECT_TRUE(held->register_operation(std::string(256, 'a')).has_value());
  EXPECT_TRUE(held->register_operation("verify-1").has_value());
  // Reuse is refused whatever became of the first command, byte for byte.
  expect_error(held->register_operation("verify-1"), "PROTOCOL_ERROR",
               "operationId was already used in this transaction.");
  EXPECT_TRUE(held->register_operation("Verify-1").has_value());
  // A refused id was not recorded.
  expect_error(held->register_operation(too_long), "PROTOCOL_ERROR",
               "operationId must contain 1-256 non-NUL bytes.");
}

TEST(HeldTransaction, FormatOnlyAndWriteState_Accessors) {
  auto format = hold(std::make_shared<FakeDisk>(4096), format_request_for(4096));
  expect_error(format->source_bytes_total(), "PROTOCOL_ERROR",
               "Source operations are unavailable in a format-only transaction.");
  expect_error(format->write_request(), "PROTOCOL_ERROR",
               "Source operations are unavailable in a format-only transaction.");
  EXPECT_FALSE(format->media_layout_ready());
  format->mark_media_layout_ready();
  EXPECT_TRUE(format->media_layout_ready());

  const auto image = pattern_bytes(100);
  auto write = hold(std::make_shared<FakeDisk>(4096), write_request_for(image, 4096));
  EXPECT_EQ(*write->source_bytes_total(), 100u);
  expect_error(write->require_written(), "PROTOCOL_ERROR",
               "The source write has not completed.");
  MemorySource source(image);
  ASSERT_TRUE(write->write_source_with_progress(source, {}).has_value());
  EXPECT_TRUE(write->require_written().has_value());
  EXPECT_TRUE(write->require_written().has_value());
}

TEST(HeldTransaction, Cancellation_SetCheckedNotClearedUntilRecovery) {
  auto held = hold(std::make_shared<FakeDisk>(4096), format_request_for(4096));
  EXPECT_TRUE(held->ensure_not_canceled().has_value());
  held->request_cancellation();
  expect_error(held->ensure_not_canceled(), "CANCELED", "The transaction was canceled.");
  expect_error(held->ensure_not_canceled(), "CANCELED", "The transaction was canceled.");
  EXPECT_TRUE(held.cancel->load());
  held->clear_cancellation_for_recovery();
  EXPECT_TRUE(held->ensure_not_canceled().has_value());
  EXPECT_FALSE(held.cancel->load());
}

}  // namespace
}  // namespace ravik::testing
