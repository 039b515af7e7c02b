// The whole transaction over the macOS platform: the simulated system takes
// the hold and the fault-injecting medium stands behind the raw node.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "io/sha256.h"
#include "mac_rig.h"
#include "platform/macos/open_macos_disk.h"
#include "support/memory_source.h"
#include "transaction/held_transaction.h"
#include "transaction/target_reads.h"

namespace ravik::testing {
namespace {

// The rig the build's opener serves; openers are plain function pointers.
MacRig* current_rig = nullptr;

Result<std::unique_ptr<HeldDeviceIo>> open_simulated_mac(const SelectedDisk& target,
                                                         const DeviceOpenPolicy&) {
  return macos::open(target, current_rig->system);
}

constexpr DeviceOpeners kMacBuild{.platform = PlatformName::kMacos,
                                  .policy = {},
                                  .block_device = open_simulated_mac,
                                  .regular_file = nullptr};

OpenWriteRequest write_request(const MacRig& rig, const std::vector<std::uint8_t>& image,
                               std::uint64_t prefix) {
  OpenWriteRequest request;
  request.request_id = "request-1";
  request.session_id = "session-1";
  request.task_id = "task-1";
  request.target.platform = PlatformName::kMacos;
  request.target.device_id = rig.target.device_id;
  request.target.device_path = rig.target.device_path;
  request.target.size_bytes = rig.target.size_bytes;
  request.target.topology_path = rig.target.topology_path;
  request.target.model = rig.target.model;
  request.source.bytes_total = image.size();
  request.source.sha256 = Sha256::hex_of(image);
  request.tail_policy = TailPolicy::kZeroPadSector;
  request.protected_prefix_bytes = prefix;
  return request;
}

class MacosTransaction : public ::testing::Test {
 protected:
  MacosTransaction() { current_rig = &rig; }
  ~MacosTransaction() override { current_rig = nullptr; }

  // Another client asks for the claim while the device's thread is kept
  // waiting, and the wait lasts past Disk Arbitration's patience: only a
  // holder whose session answers whatever that thread does keeps the claim.
  void request_release_and_outwait() {
    rig.system->request_claim_release();
    (void)rig.system->wait_until_no_release_request(std::chrono::seconds(10));
    rig.system->pass_time(2 * SimulatedMacSystem::kResponseTimeout);
  }
  void expect_release_refused_and_claim_kept() const {
    EXPECT_EQ(rig.system->release_requests_refused, 1);
    EXPECT_TRUE(rig.system->claimed);
    EXPECT_FALSE(rig.system->claimed_by_other);
  }

  MacRig rig;
};

TEST_F(MacosTransaction, WritesWithProtectedPrefixVerifiesAndReleases) {
  constexpr std::uint64_t kPrefix = 4096;
  const auto image = pattern_bytes(300'000, 7);
  // The medium answers a few transfers short or interrupted; the engine
  // carries on through the platform.
  rig.medium->write_faults = {
      {.offset = 65536, .kind = FaultKind::kShort, .short_length = 512},
      {.offset = 131072, .kind = FaultKind::kInterrupted}};
  {
    auto held =
        HeldTransaction::open(write_request(rig, image, kPrefix), nullptr, kMacBuild);
    ASSERT_TRUE(held.has_value()) << held.error().message();

    MemorySource source(image, {4096, 777, 65536});
    auto written = held->write_source_with_progress(source, {});
    ASSERT_TRUE(written.has_value()) << written.error().message();
    EXPECT_EQ(written->target_bytes_written, 300'032u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), rig.medium->bytes.begin()));
    // Image bytes reached the prefix area only in the commit after the body:
    // the rest of the prefix, then last the block holding byte 0; before it
    // the area was at most blanked.
    const std::vector<Transfer>& writes = rig.medium->writes;
    ASSERT_GE(writes.size(), 3u);
    EXPECT_EQ(writes.back().offset, 0u);
    EXPECT_FALSE(writes.back().all_zero);
    const Transfer& rest = writes[writes.size() - 2];
    EXPECT_GT(rest.offset, 0u);
    EXPECT_LT(rest.offset, kPrefix);
    for (std::size_t i = 0; i + 2 < writes.size(); ++i) {
      EXPECT_TRUE(writes[i].offset >= kPrefix || writes[i].all_zero) << i;
    }

    auto verified = held->verify_with_progress({});
    ASSERT_TRUE(verified.has_value()) << verified.error().message();
    EXPECT_TRUE(verified->matches);

    ASSERT_TRUE(held->eject().has_value());
    EXPECT_TRUE(*held->exact_detach_confirmed());
    EXPECT_TRUE(rig.medium->detached);
    EXPECT_GE(rig.system->count("ioctl synchronize_cache"), 2);
  }
  // Dropping the transaction after the eject ends nothing twice.
  EXPECT_EQ(rig.system->count("unclaim"), 0);
  EXPECT_EQ(rig.system->count("release_session"), 1);
}

TEST_F(MacosTransaction, PartitionsTheWriteCreatesAreNotAutomounted) {
  SimulatedDiskFacts bare;
  bare.model.reset();
  bare.bus_path.reset();
  rig = MacRig(bare);
  const auto image = pattern_bytes(200'000, 11);
  auto held = HeldTransaction::open(write_request(rig, image, 0), nullptr, kMacBuild);
  ASSERT_TRUE(held.has_value()) << held.error().message();
  // The daemon probes the partition the first write created and would
  // mount it in the middle of the write.
  rig.system->partition_appears_at_write = rig.system->writes + 1;
  MemorySource source(image, {4096, 65536});
  auto written = held->write_source_with_progress(source, {});
  ASSERT_TRUE(written.has_value()) << written.error().message();
  EXPECT_EQ(rig.system->dissents, 1);
  EXPECT_TRUE(rig.system->mounted.empty());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), rig.medium->bytes.begin()));
  ASSERT_TRUE(held->eject().has_value());
  EXPECT_TRUE(rig.medium->detached);
}

TEST_F(MacosTransaction, ClaimReleaseRequestedDuringVerifyIsRefused) {
  // Three hash steps, each read taking 4 s of the simulated clock: a request
  // left to the end of the pass would outlast Disk Arbitration's patience.
  rig = MacRig(SimulatedDiskFacts{.size = 9 * 1'048'576});
  const auto image = pattern_bytes(2 * kHashStepBytes + 65536, 5);
  auto held = HeldTransaction::open(write_request(rig, image, 0), nullptr, kMacBuild);
  ASSERT_TRUE(held.has_value()) << held.error().message();
  MemorySource source(image);
  ASSERT_TRUE(held->write_source_with_progress(source, {}).has_value());

  rig.system->transfer_time = std::chrono::seconds(4);
  rig.system->release_request_at_read = rig.system->reads + 1;
  auto verified = held->verify_with_progress({});
  ASSERT_TRUE(verified.has_value()) << verified.error().message();
  EXPECT_TRUE(verified->matches);
  EXPECT_GE(rig.system->reads, 3);
  expect_release_refused_and_claim_kept();
}

TEST_F(MacosTransaction, ClaimReleaseRequestedWhileTheSourceStallsIsRefused) {
  constexpr std::uint64_t kFrame = 65536;
  const auto image = pattern_bytes(2 * kFrame, 6);
  auto held = HeldTransaction::open(write_request(rig, image, 0), nullptr, kMacBuild);
  ASSERT_TRUE(held.has_value()) << held.error().message();
  MemorySource source(image, {kFrame});
  std::mutex mutex;
  std::condition_variable first_written;
  bool written = false;
  // The second frame is held back past Disk Arbitration's patience, and the
  // request comes once the writer has written all it was given and waits
  // for more: the session's own queue answers it meanwhile.
  source.before_read = [&](std::uint64_t delivered) {
    if (delivered != kFrame) return;
    std::unique_lock lock(mutex);
    first_written.wait(lock, [&] { return written; });
    request_release_and_outwait();
  };
  auto outcome = held->write_source_with_progress(
      source, [&](std::uint64_t source_bytes_read) -> Result<void> {
        const std::lock_guard lock(mutex);
        written = source_bytes_read >= kFrame;
        first_written.notify_all();
        return {};
      });
  ASSERT_TRUE(outcome.has_value()) << outcome.error().message();
  expect_release_refused_and_claim_kept();
}

// The source stalls where the writer reads it itself: inside the protected
// prefix (before the pipeline starts), and at the check that nothing
// follows the announced total.
class MacosSourceStall : public MacosTransaction,
                         public ::testing::WithParamInterface<std::uint64_t> {};

constexpr std::uint64_t kStalledPrefix = 4096;
constexpr std::uint64_t kStalledImage = 3 * kStalledPrefix;

TEST_P(MacosSourceStall, ClaimReleaseRequestedMeanwhileIsRefused) {
  const auto image = pattern_bytes(kStalledImage, 8);
  auto held = HeldTransaction::open(write_request(rig, image, kStalledPrefix), nullptr,
                                    kMacBuild);
  ASSERT_TRUE(held.has_value()) << held.error().message();
  MemorySource source(image, {kStalledPrefix / 2});
  source.before_read = [&](std::uint64_t delivered) {
    if (delivered == GetParam()) request_release_and_outwait();
  };
  auto outcome = held->write_source_with_progress(source, {});
  ASSERT_TRUE(outcome.has_value()) << outcome.error().message();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), rig.medium->bytes.begin()));
  expect_release_refused_and_claim_kept();
}

INSTANTIATE_TEST_SUITE_P(InThePrefixAndAtTheEnd, MacosSourceStall,
                         ::testing::Values(kStalledPrefix / 2, kStalledImage));

TEST_F(MacosTransaction, DiskChangedMidWriteStopsBeforeThePrefixIsWritten) {
  constexpr std::uint64_t kPrefix = 4096;
  const auto image = pattern_bytes(300'000, 9);
  auto held =
      HeldTransaction::open(write_request(rig, image, kPrefix), nullptr, kMacBuild);
  ASSERT_TRUE(held.has_value()) << held.error().message();
  // Another disk takes the name once the body is on the medium.
  rig.system->on_call = [&](const std::string& call) {
    if (call == "ioctl synchronize_cache") rig.system->path_status.device_number += 1;
  };
  MemorySource source(image);
  auto written = held->write_source_with_progress(source, {});
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().code(), codes::kDeviceDisconnected);
  // The prefix area holds no image byte (blank or untouched).
  EXPECT_TRUE(std::all_of(rig.medium->bytes.begin(), rig.medium->bytes.begin() + kPrefix,
                          [](std::uint8_t byte) { return byte == 0 || byte == 0xEE; }));
}

TEST_F(MacosTransaction, OnlyABuildWithTheMacPlatformAcceptsMacTargets) {
  const auto image = pattern_bytes(4096, 3);
  DeviceOpeners linux_build = kMacBuild;
  linux_build.platform = PlatformName::kLinux;
  auto refused =
      HeldTransaction::open(write_request(rig, image, 0), nullptr, linux_build);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(),
            "The request platform does not match this helper build.");
  EXPECT_TRUE(rig.system->calls.empty());
  EXPECT_TRUE(HeldTransaction::open(write_request(rig, image, 0), nullptr, kMacBuild));
}

}  // namespace
}  // namespace ravik::testing
