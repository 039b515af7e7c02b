#include <gtest/gtest.h>

#include "support/expect_error.h"
#include "support/fault_injecting_device.h"
#include "support/transaction_fixture.h"
#include "transaction/held_transaction.h"

namespace ravik::testing {
namespace {

constexpr std::string_view kClosedMessage =
    "Raw target is no longer open: The held raw target is closed.";

TEST(Release, BootSessionOpen_EjectRefusedBeforeDeviceWork) {
  auto disk = std::make_shared<FakeDisk>(4096);
  auto held = hold(disk, format_request_for(4096));
  held->set_boot_partition(PartitionRange{.offset = 1024, .length = 2048});
  const std::size_t calls = disk->calls.size();
  expect_error(held->prepare_eject(), "SAFE_RELEASE_FAILED",
               "Close the boot session before ejecting the target.");
  expect_error(held->eject(), "SAFE_RELEASE_FAILED",
               "Close the boot session before ejecting the target.");
  EXPECT_EQ(disk->calls.size(), calls);
  EXPECT_TRUE(disk->open);
  // Closing the boot session lets the eject run.
  held->set_boot_partition(std::nullopt);
  EXPECT_TRUE(held->eject().has_value());
}

TEST(Release, EjectAfterCancel_SyncsVerifiesEjectsAndConfirmsDetach) {
  auto disk = std::make_shared<FakeDisk>(4096);
  auto held = hold(disk, format_request_for(4096));
  held->request_cancellation();
  EXPECT_FALSE(*held->exact_detach_confirmed());
  disk->calls.clear();
  ASSERT_TRUE(held->eject().has_value());
  EXPECT_EQ(disk->calls, (std::vector<CallKind>{CallKind::kSync, CallKind::kVerify,
                                                CallKind::kVerify, CallKind::kEject}));
  EXPECT_TRUE(*held->exact_detach_confirmed());
  // A detached device refuses everything with the closed-target texts.
  expect_error(held->eject(), "WRITE_FAILED", kClosedMessage);
  expect_error(held->eject_prepared(), "DEVICE_DISCONNECTED", kClosedMessage);
  expect_error(held->close(), "WRITE_FAILED", kClosedMessage);
}

TEST(Release, RefusedEject_ClosesTargetAndDetachConfirmedOnLaterPoll) {
  auto disk = std::make_shared<FakeDisk>(4096);
  disk->refuse_eject = true;
  disk->detach_confirmed_on_poll = 3;
  auto held = hold(disk, format_request_for(4096));
  ASSERT_TRUE(held->prepare_eject().has_value());
  expect_error(held->eject_prepared(), "SAFE_RELEASE_FAILED",
               "The medium refused to eject.");
  EXPECT_FALSE(disk->open);
  EXPECT_FALSE(*held->exact_detach_confirmed());
  EXPECT_FALSE(*held->exact_detach_confirmed());
  EXPECT_TRUE(*held->exact_detach_confirmed());
}

TEST(Release, SyncFailure_KeepsItsWriteFailedCode) {
  auto disk = std::make_shared<FakeDisk>(4096);
  disk->fail_sync_from_call = 1;
  auto held = hold(disk, format_request_for(4096));
  auto prepared = held->prepare_eject();
  ASSERT_FALSE(prepared.has_value());
  EXPECT_EQ(prepared.error().code().text(), "WRITE_FAILED");
  EXPECT_EQ(disk->count(CallKind::kEject), 0);
}

TEST(Close, EndsBootSessionEvenWhenSyncFails) {
  auto disk = std::make_shared<FakeDisk>(4096);
  auto held = hold(disk, format_request_for(4096));
  held->set_boot_partition(PartitionRange{.offset = 0, .length = 512});
  disk->fail_sync_from_call = 1;
  auto closed = held->close();
  ASSERT_FALSE(closed.has_value());
  EXPECT_EQ(closed.error().code().text(), "WRITE_FAILED");
  EXPECT_FALSE(held->boot_partition().has_value());

  disk->fail_sync_from_call.reset();
  held->set_boot_partition(PartitionRange{.offset = 0, .length = 512});
  held->request_cancellation();
  disk->calls.clear();
  ASSERT_TRUE(held->close().has_value());
  EXPECT_EQ(disk->calls, (std::vector<CallKind>{CallKind::kSync, CallKind::kVerify}));
  EXPECT_TRUE(disk->open);
  EXPECT_FALSE(*held->exact_detach_confirmed());

  disk->identity_checks_before_loss = disk->identity_checks;
  auto lost = held->close();
  ASSERT_FALSE(lost.has_value());
  EXPECT_EQ(lost.error().code().text(), "DEVICE_DISCONNECTED");
}

}  // namespace
}  // namespace ravik::testing
