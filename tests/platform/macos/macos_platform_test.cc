// The macOS whole-disk platform over the simulated system: every refusal
// with its code and message, the order of the steps that take the hold, the
// checks made while holding, and the eject.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "mac_rig.h"
#include "platform/macos/description_checks.h"
#include "platform/macos/disk_claim.h"
#include "platform/macos/open_macos_disk.h"

namespace ravik::testing {
namespace {

using macos::DescriptionKey;
using macos::kStatusBusy;

constexpr std::string_view kClosed =
    "Raw target is no longer open: The held raw target is closed.";

enum class Step { kOpen, kVerify, kSync, kEject };

struct FailureRow {
  std::string name;
  std::function<void(MacRig&)> script;
  Step step;
  ErrorCode code;
  std::string message;
};

SimulatedValue& item(MacRig& rig, DescriptionKey key) {
  return rig.system->descriptions.front()->at(key);
}

// The disk's description with `change` applied.
SimulatedDescription changed(const MacRig& rig,
                             const std::function<void(SimulatedDescription&)>& change) {
  SimulatedDescription description = description_of(rig.facts);
  change(description);
  return description;
}

std::vector<FailureRow> failure_rows() {
  const std::string busy = "(status 0xf8da0002).";
  return {
      {"form", [](MacRig& r) { r.target.device_path = "/dev/disk4"; }, Step::kOpen,
       codes::kDeviceNotRemovable,
       "macOS targets must be a whole /dev/rdiskN device matching deviceId diskN."},
      {"no session", [](MacRig& r) { r.system->session_available = false; }, Step::kOpen,
       codes::kDeviceNotRemovable, "Could not create a Disk Arbitration session."},
      {"unresolvable", [](MacRig& r) { r.system->disk_resolvable = false; }, Step::kOpen,
       codes::kDeviceDisconnected,
       "Disk Arbitration could not resolve the selected whole disk."},
      // Creating the disk object asks the daemon nothing.
      {"unknown disk", [](MacRig& r) { r.system->disk_known = false; }, Step::kOpen,
       codes::kDeviceDisconnected,
       "Disk Arbitration could not describe the selected disk."},
      {"no description", [](MacRig& r) { r.system->descriptions = {std::nullopt}; },
       Step::kOpen, codes::kDeviceDisconnected,
       "Disk Arbitration could not describe the selected disk."},
      {"key missing",
       [](MacRig& r) {
         r.system->descriptions.front()->erase(DescriptionKey::kMediaPath);
       },
       Step::kOpen, codes::kDeviceNotRemovable,
       "Disk Arbitration omitted required target identity information."},
      {"key of another type",
       [](MacRig& r) {
         item(r, DescriptionKey::kMediaWhole) = SimulatedValue::integer(1);
       },
       Step::kOpen, codes::kDeviceNotRemovable,
       "Disk Arbitration omitted required target identity information."},
      {"bad number",
       [](MacRig& r) { item(r, DescriptionKey::kMediaBsdMinor).number_fits = false; },
       Step::kOpen, codes::kDeviceNotRemovable,
       "Disk Arbitration returned invalid numeric target identity information."},
      {"negative size",
       [](MacRig& r) { item(r, DescriptionKey::kMediaBlockSize).number = -512; },
       Step::kOpen, codes::kDeviceNotRemovable,
       "Disk Arbitration returned a negative target size."},
      {"bad string",
       [](MacRig& r) { item(r, DescriptionKey::kDeviceModel).text = "Flash\xff"; },
       Step::kOpen, codes::kDeviceNotRemovable,
       "Disk Arbitration target identity string is not valid UTF-8."},
      {"neither removable nor ejectable",
       [](MacRig& r) {
         item(r, DescriptionKey::kMediaRemovable).boolean = false;
         item(r, DescriptionKey::kMediaEjectable).boolean = false;
       },
       Step::kOpen, codes::kDeviceNotRemovable,
       "Disk Arbitration could not prove the target is a writable removable whole "
       "device."},
      {"read-only medium",
       [](MacRig& r) { item(r, DescriptionKey::kMediaWritable).boolean = false; },
       Step::kOpen, codes::kDeviceNotRemovable,
       "Disk Arbitration could not prove the target is a writable removable whole "
       "device."},
      {"BSD name differs",
       [](MacRig& r) { item(r, DescriptionKey::kMediaBsdName).text = "disk5"; },
       Step::kOpen, codes::kDeviceNotRemovable,
       "Disk Arbitration identity or capacity changed after selection."},
      {"size differs", [](MacRig& r) { r.target.size_bytes += 512; }, Step::kOpen,
       codes::kDeviceNotRemovable,
       "Disk Arbitration identity or capacity changed after selection."},
      {"bus path differs",
       [](MacRig& r) { r.target.topology_path = "IODeviceTree:/other"; }, Step::kOpen,
       codes::kDeviceNotRemovable,
       "The target hardware topology changed after selection."},
      {"model differs in case", [](MacRig& r) { r.target.model = "ravik flash drive"; },
       Step::kOpen, codes::kDeviceNotRemovable,
       "The target model changed after selection."},
      {"unmount refused", [](MacRig& r) { r.system->unmounts = {{kStatusBusy}}; },
       Step::kOpen, codes::kUnmountFailed,
       "Disk Arbitration could not unmount the selected disk " + busy},
      // The system started from the stick: the daemon keeps its volume.
      {"a volume of the disk is the root volume",
       [](MacRig& r) {
         r.system->mounted = {"disk4s1", "disk4s2"};
         r.system->system_volumes = {"disk4s2"};
       },
       Step::kOpen, codes::kUnmountFailed,
       "Disk Arbitration could not unmount the selected disk " + busy},
      {"claim held by another application",
       [](MacRig& r) { r.system->claimed_by_other = true; }, Step::kOpen,
       codes::kDeviceNotRemovable,
       "Could not exclusively claim the selected disk " + busy},
      {"claim refused", [](MacRig& r) { r.system->claims = {{kStatusBusy}}; },
       Step::kOpen, codes::kDeviceNotRemovable,
       "Could not exclusively claim the selected disk " + busy},
      {"claim completed but not granted",
       [](MacRig& r) { r.system->claim_not_granted = true; }, Step::kOpen,
       codes::kDeviceNotRemovable,
       "Could not exclusively claim the selected disk (status 0x0)."},
      {"claim never completes",
       [](MacRig& r) {
         r.system->claims = {{0, false}};
       },
       Step::kOpen, codes::kTimeout,
       "Disk Arbitration did not complete the device operation within 30 seconds."},
      {"description changes after the claim",
       [](MacRig& r) {
         r.system->descriptions.push_back(changed(r, [](SimulatedDescription& d) {
           d[DescriptionKey::kMediaSize] = SimulatedValue::integer(2'097'152);
         }));
       },
       Step::kOpen, codes::kDeviceNotRemovable,
       "Disk Arbitration identity or capacity changed after selection."},
      {"exclusive open fails", [](MacRig& r) { r.system->open_error = EBUSY; },
       Step::kOpen, codes::kDeviceNotRemovable,
       "Could not exclusively open the claimed raw target: " + os_error_text(EBUSY)},
      {"descriptor uninspectable at open",
       [](MacRig& r) { r.system->fstat_error = ENXIO; }, Step::kOpen,
       codes::kDeviceDisconnected,
       "Could not inspect held raw target: " + os_error_text(ENXIO)},
      {"node not a device",
       [](MacRig& r) { r.system->descriptor_status.is_device = false; }, Step::kOpen,
       codes::kDeviceNotRemovable,
       "The production helper accepts only raw device nodes."},
      {"node device number differs",
       [](MacRig& r) { r.system->descriptor_status.device_number += 1; }, Step::kOpen,
       codes::kDeviceNotRemovable,
       "The claimed Disk Arbitration object does not match the held device descriptor."},
      {"geometry unreadable",
       [](MacRig& r) { r.system->block_count = std::unexpected(ENOTTY); }, Step::kOpen,
       codes::kDeviceNotRemovable,
       "Could not read raw target geometry from the held descriptor: " +
           os_error_text(ENOTTY)},
      {"geometry reported as 0", [](MacRig& r) { r.system->block_size = 0u; },
       Step::kOpen, codes::kDeviceNotRemovable,
       "Could not read raw target geometry from the held descriptor: The device reported "
       "a "
       "block size or count of 0."},
      {"geometry overflows",
       [](MacRig& r) {
         r.system->block_count = std::numeric_limits<std::uint64_t>::max();
       },
       Step::kOpen, codes::kDeviceNotRemovable, "Raw target capacity overflow."},
      {"geometry inconsistent", [](MacRig& r) { r.system->block_count = 2047u; },
       Step::kOpen, codes::kDeviceNotRemovable,
       "The held raw target geometry does not match the confirmed device."},
      {"path replaced at the check that ends open",
       [](MacRig& r) { r.system->path_status.device_number += 1; }, Step::kOpen,
       codes::kDeviceDisconnected,
       "The raw target path no longer names the held device."},
      // Identity lost while held.
      {"claim lost", [](MacRig& r) { r.system->claimed = false; }, Step::kVerify,
       codes::kDeviceDisconnected, "The Disk Arbitration claim is no longer held."},
      {"path gone", [](MacRig& r) { r.system->lstat_error = ENOENT; }, Step::kVerify,
       codes::kDeviceDisconnected,
       "Could not recheck raw target path: " + os_error_text(ENOENT)},
      {"path no longer a device",
       [](MacRig& r) { r.system->path_status.is_device = false; }, Step::kVerify,
       codes::kDeviceDisconnected,
       "The raw target path no longer names the held device."},
      {"descriptor uninspectable", [](MacRig& r) { r.system->fstat_error = ENXIO; },
       Step::kVerify, codes::kDeviceDisconnected,
       "Could not inspect held raw target: " + os_error_text(ENXIO)},
      {"descriptor device number changed",
       [](MacRig& r) { r.system->descriptor_status.device_number += 1; }, Step::kVerify,
       codes::kDeviceDisconnected, "The held raw target identity changed."},
      {"remount cannot be undone",
       [](MacRig& r) { r.system->unmounts = {{kStatusUnixBusy}}; }, Step::kVerify,
       codes::kUnmountFailed,
       "Disk Arbitration could not unmount the selected disk (status 0xc010)."},
      {"disk vanishes during the check's unmount",
       [](MacRig& r) { r.system->unmounts = {{.vanishes = true}}; }, Step::kVerify,
       codes::kUnmountFailed,
       "Disk Arbitration could not unmount the selected disk (status 0xf8da0006)."},
      {"disk gone from the daemon",
       [](MacRig& r) {
         r.system->disk_known = false;
         r.system->claimed = false;
       },
       Step::kVerify, codes::kDeviceDisconnected,
       "The Disk Arbitration claim is no longer held."},
      {"disk came back under the same name",
       [](MacRig& r) {
         r.system->descriptions = {changed(r, [](SimulatedDescription& d) {
           d[DescriptionKey::kAppearanceTime] = SimulatedValue::time(786'000'100.5);
         })};
       },
       Step::kVerify, codes::kDeviceDisconnected,
       "Disk Arbitration identity changed while the target was held."},
      {"description gone", [](MacRig& r) { r.system->descriptions = {std::nullopt}; },
       Step::kVerify, codes::kDeviceDisconnected,
       "Disk Arbitration could not describe the selected disk."},
      {"minor number changed in the description",
       [](MacRig& r) {
         r.system->descriptions = {changed(r, [](SimulatedDescription& d) {
           d[DescriptionKey::kMediaBsdMinor] = SimulatedValue::integer(10);
         })};
       },
       Step::kVerify, codes::kDeviceDisconnected,
       "Disk Arbitration identity changed while the target was held."},
      {"cache flush fails", [](MacRig& r) { r.medium->fail_sync_from_call = 1; },
       Step::kSync, codes::kWriteFailed,
       "Could not synchronize the target's hardware cache: " + os_error_text(EIO)},
      {"eject refused", [](MacRig& r) { r.system->ejects = {{kStatusBusy}}; },
       Step::kEject, codes::kSafeReleaseFailed,
       "Disk Arbitration could not eject the selected disk " + busy},
      // The daemon ejects only a disk it describes as whole.
      {"disk no longer whole as it is ejected",
       [](MacRig& r) {
         r.system->on_call = [&r](const std::string& call) {
           if (call != "close") return;
           r.system->descriptions = {changed(r, [](SimulatedDescription& d) {
             d[DescriptionKey::kMediaWhole] = SimulatedValue::flag(false);
           })};
         };
       },
       Step::kEject, codes::kSafeReleaseFailed,
       "Disk Arbitration could not eject the selected disk (status 0xf8da000c)."},
      {"eject never completes",
       [](MacRig& r) {
         r.system->ejects = {{0, false}};
       },
       Step::kEject, codes::kTimeout,
       "Disk Arbitration did not complete the device operation within 30 seconds."},
  };
}

TEST(MacosPlatform, EveryRefusalHasItsCodeAndMessageAndLeavesNothingHeld) {
  for (const FailureRow& row : failure_rows()) {
    SCOPED_TRACE(row.name);
    MacRig rig;
    if (row.step == Step::kOpen) row.script(rig);
    auto device = macos::open(rig.target, rig.system);
    std::optional<HelperError> error;
    if (row.step == Step::kOpen) {
      if (!device) error = device.error();
    } else {
      ASSERT_TRUE(device.has_value()) << device.error().message();
      row.script(rig);
      HeldDeviceIo& held = **device;
      const Result<void> result = row.step == Step::kVerify
                                      ? held.verify_current_identity()
                                  : row.step == Step::kSync ? held.sync_all()
                                                            : held.eject();
      if (!result) error = result.error();
      EXPECT_EQ(held.capacity(), rig.facts.size);
      device->reset();
    }
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code(), row.code);
    EXPECT_EQ(error->message(), row.message);
    // Whatever failed, the descriptor is closed, the claim ended and the
    // session released.
    EXPECT_FALSE(rig.system->descriptor_open);
    EXPECT_FALSE(rig.system->claimed);
    EXPECT_EQ(
        rig.system->count("release_session"),
        rig.system->count("create_session") - (rig.system->session_available ? 0 : 1));
  }
}

TEST(MacosPlatform, OpenTakesTheHoldInOrderAndDestructionUndoesItInReverse) {
  MacRig rig;
  auto device = macos::open(rig.target, rig.system);
  ASSERT_TRUE(device.has_value()) << device.error().message();
  const std::vector<std::string> open_steps = {
      "create_session", "serve_on_own_queue", "disk_from_bsd_name disk4",
      "copy_description", "unmount_whole", "claim", "is_claimed", "watch unit 4",
      "unmount_whole", "copy_description", "open /dev/rdisk4", "fstat",
      "ioctl block_size", "ioctl block_count", "unmount_whole",
      // The check that ends the open.
      "is_claimed", "lstat /dev/rdisk4", "fstat", "unmount_whole", "copy_description"};
  EXPECT_EQ(rig.system->calls, open_steps);

  const DiskIdentity& identity = (*device)->identity();
  EXPECT_EQ(identity.platform, DiskPlatform::kMacos);
  EXPECT_EQ(identity.device_id, "disk4");
  EXPECT_EQ(identity.device_path, "/dev/rdisk4");
  EXPECT_EQ(identity.topology_path, rig.facts.bus_path);
  EXPECT_TRUE(identity.removable && identity.writable && identity.whole_device);
  EXPECT_FALSE(identity.mounted);
  EXPECT_EQ((*device)->logical_block_size(), 512u);
  EXPECT_FALSE(*(*device)->exact_detach_confirmed());

  rig.system->calls.clear();
  device->reset();
  EXPECT_EQ(rig.system->calls, (std::vector<std::string>{
                                   "close", "is_claimed", "unclaim", "unwatch",
                                   "stop_serving", "release_disk", "release_session"}));

  // A hold that only reads takes the same steps, the node opened read-only.
  MacRig reading;
  reading.target.read_only = true;
  auto held = macos::open(reading.target, reading.system);
  ASSERT_TRUE(held.has_value()) << held.error().message();
  std::vector<std::string> read_steps = open_steps;
  std::ranges::replace(read_steps, std::string("open /dev/rdisk4"),
                       std::string("open read-only /dev/rdisk4"));
  EXPECT_EQ(reading.system->calls, read_steps);
}

TEST(MacosPlatform, UnmountThatNeverCompletesTimesOutAfterThirtySecondsKeepingItsRecord) {
  MacRig rig;
  rig.system->unmounts = {{0, false}};
  const auto started = rig.system->now();
  auto device = macos::open(rig.target, rig.system);
  ASSERT_FALSE(device.has_value());
  EXPECT_EQ(device.error().code(), codes::kTimeout);
  EXPECT_EQ(rig.system->now() - started, std::chrono::seconds(30));
  EXPECT_EQ(rig.system->count("release_session"), 1);
  // The callback may still come: its record is still there to be filled
  // (a freed record would be caught by the address sanitizer).
  ASSERT_EQ(rig.system->never_completed.size(), 1u);
  macos::OperationCompletion* late = rig.system->never_completed.front();
  late->complete(kStatusBusy);
  EXPECT_EQ(late->result(), kStatusBusy);
}

TEST(MacosPlatform, EjectEndsTheClaimOnceAndClosesTheDeviceForGood) {
  MacRig rig;
  auto device = macos::open(rig.target, rig.system);
  ASSERT_TRUE(device.has_value()) << device.error().message();
  HeldDeviceIo& held = **device;
  rig.system->calls.clear();
  ASSERT_TRUE(held.eject().has_value());
  EXPECT_TRUE(*held.exact_detach_confirmed());
  EXPECT_FALSE(rig.system->descriptor_open);
  // The node is closed before the eject, which a busy node would refuse.
  const auto& calls = rig.system->calls;
  const auto close = std::find(calls.begin(), calls.end(), "close");
  ASSERT_NE(close, calls.end());
  EXPECT_NE(std::find(close, calls.end(), "eject"), calls.end());

  auto verified = held.verify_current_identity();
  ASSERT_FALSE(verified.has_value());
  EXPECT_EQ(verified.error().code(), codes::kDeviceDisconnected);
  EXPECT_EQ(verified.error().message(), kClosed);
  auto again = held.eject();
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().message(), kClosed);
  auto synced = held.sync_all();
  ASSERT_FALSE(synced.has_value());
  EXPECT_EQ(synced.error().code(), codes::kWriteFailed);
  std::vector<std::uint8_t> buffer(512);
  const auto read = held.read(buffer);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().text, kClosedTargetText);
  EXPECT_TRUE(rig.medium->reads.empty());

  device->reset();
  EXPECT_EQ(rig.system->count("eject"), 1);
  EXPECT_EQ(rig.system->count("unclaim"), 0);
}

TEST(MacosPlatform, RefusedEjectClosesTheDeviceButLeavesTheClaimForDestruction) {
  MacRig rig;
  rig.system->ejects = {{kStatusBusy}};
  auto device = macos::open(rig.target, rig.system);
  ASSERT_TRUE(device.has_value()) << device.error().message();
  ASSERT_FALSE((*device)->eject().has_value());
  EXPECT_FALSE(*(*device)->exact_detach_confirmed());
  EXPECT_FALSE(rig.system->descriptor_open);
  EXPECT_TRUE(rig.system->claimed);
  device->reset();
  EXPECT_EQ(rig.system->count("unclaim"), 1);
}

TEST(MacosPlatform, ReleaseRequestIsRefusedWhileTheDeviceThreadIsBlockedInAWrite) {
  MacRig rig;
  auto device = macos::open(rig.target, rig.system);
  ASSERT_TRUE(device.has_value()) << device.error().message();
  HeldDeviceIo& held = **device;
  // The request comes as the write starts, and the write takes longer than
  // Disk Arbitration waits for an answer.
  rig.system->transfer_time = std::chrono::seconds(15);
  rig.system->release_request_at_write = rig.system->writes + 1;
  const auto started = rig.system->now();
  const std::vector<std::uint8_t> block(512, 0x5A);
  ASSERT_TRUE(held.write_all(block).has_value());
  EXPECT_GE(rig.system->now() - started, std::chrono::seconds(15));
  EXPECT_EQ(rig.system->release_requests_refused, 1);
  EXPECT_TRUE(rig.system->claimed);
  EXPECT_FALSE(rig.system->claimed_by_other);
  EXPECT_TRUE(held.verify_current_identity().has_value());
}

TEST(MacosPlatform, OtherPartiesCannotUnmountOrEjectTheHeldDiskButTheHelperCan) {
  MacRig rig;
  auto device = macos::open(rig.target, rig.system);
  ASSERT_TRUE(device.has_value()) << device.error().message();
  HeldDeviceIo& held = **device;
  // A claim alone stops none of this: only the hold's dissents do.
  EXPECT_FALSE(rig.system->automount("disk4s1"));
  rig.system->mounted = {"disk4s2"};
  EXPECT_EQ(rig.system->unmount_by_other(), macos::kStatusExclusiveAccess);
  EXPECT_EQ(rig.system->eject_by_other(), macos::kStatusExclusiveAccess);
  EXPECT_EQ(rig.system->dissents, 3);
  // A partition is not ejected at all, and the hold is not even asked.
  EXPECT_EQ(rig.system->eject_by_other("disk4s2"), kStatusUnsupported);
  EXPECT_EQ(rig.system->dissents, 3);
  EXPECT_EQ(rig.system->mounted, std::set<std::string>{"disk4s2"});
  EXPECT_FALSE(rig.medium->detached);

  // The helper's own unmount and eject are put to the same callbacks and pass.
  rig.system->calls.clear();
  ASSERT_TRUE(held.eject().has_value()) << held.eject().error().message();
  EXPECT_TRUE(*held.exact_detach_confirmed());
  EXPECT_TRUE(rig.medium->detached);
  EXPECT_TRUE(rig.system->mounted.empty());
  EXPECT_EQ(rig.system->dissents, 3);
  // Unmounted once more after the node was closed, just before the eject.
  const auto& calls = rig.system->calls;
  const auto eject = std::find(calls.begin(), calls.end(), "eject");
  ASSERT_NE(eject, calls.end());
  ASSERT_GE(eject - calls.begin(), 2);
  EXPECT_EQ(*(eject - 1), "unmount_whole");
  EXPECT_EQ(*(eject - 2), "close");
}

TEST(MacosPlatform, DetachIsConfirmedOnlyOnceTheHeldDiskDisappeared) {
  MacRig rig;
  // The driver cannot eject (ENOTTY): the daemon still answers success.
  rig.system->ejects = {{.disappears = false}};
  auto device = macos::open(rig.target, rig.system);
  ASSERT_TRUE(device.has_value()) << device.error().message();
  const auto started = rig.system->now();
  const Result<void> ejected = (*device)->eject();
  ASSERT_FALSE(ejected.has_value());
  EXPECT_EQ(ejected.error().code(), codes::kTimeout);
  EXPECT_EQ(rig.system->now() - started, std::chrono::seconds(30));
  EXPECT_FALSE(*(*device)->exact_detach_confirmed());
  EXPECT_FALSE(rig.medium->detached);
  // The claim was not ended by an eject that took nothing away.
  device->reset();
  EXPECT_EQ(rig.system->count("unclaim"), 1);

  // A real eject: the disk goes, its partitions first, and the fresh
  // description that follows is none.
  MacRig real;
  real.system->mounted = {"disk4s1"};
  auto held = macos::open(real.target, real.system);
  ASSERT_TRUE(held.has_value()) << held.error().message();
  real.system->calls.clear();
  ASSERT_TRUE((*held)->eject().has_value());
  EXPECT_TRUE(*(*held)->exact_detach_confirmed());
  EXPECT_EQ(real.system->calls.back(), "unwatch");
  EXPECT_EQ(real.system->calls[real.system->calls.size() - 2], "copy_description");
}

TEST(MacosPlatform, ASessionLeftUnservedTenSecondsLosesItsClaimAndItsDissents) {
  MacRig rig;
  auto device = macos::open(rig.target, rig.system);
  ASSERT_TRUE(device.has_value()) << device.error().message();
  rig.system->stall_queue();
  rig.system->request_claim_release();
  rig.system->pass_time(std::chrono::seconds(9));
  EXPECT_TRUE(rig.system->claimed);
  rig.system->pass_time(std::chrono::seconds(1));
  EXPECT_TRUE(rig.system->claimed_by_other);
  EXPECT_TRUE(rig.system->not_responding);
  // Not responding: asked nothing, so the automount goes through at once.
  EXPECT_TRUE(rig.system->automount("disk4s1"));
  // The next fetch runs what was queued and the session is asked again.
  rig.system->resume_queue();
  rig.system->mounted.clear();
  EXPECT_FALSE(rig.system->automount("disk4s2"));
  EXPECT_FALSE(rig.system->not_responding);
}

TEST(MacosPlatform, OneFetchRunsEveryCallbackQueuedWhileTheSessionWasNotFetching) {
  MacRig rig;
  auto session = rig.system->create_session();
  session->serve_on_own_queue();
  auto disk = session->disk_from_bsd_name("disk4");
  macos::HoldGuard hold({});
  macos::OperationCompletion claimed;
  disk->claim(&claimed, &hold);
  ASSERT_EQ(rig.system->wait(claimed, std::chrono::seconds(30)), 0);
  disk->watch(&hold, 4);
  rig.system->mounted = {"disk4s1"};

  // Callbacks queue in the daemon, none dropped, while the queue fetches
  // nothing for less than the daemon's patience.
  rig.system->stall_queue();
  macos::OperationCompletion unmounted;
  macos::OperationCompletion ejected;
  disk->unmount_whole(&unmounted);
  disk->eject(&ejected);
  rig.system->request_claim_release();
  rig.system->pass_time(std::chrono::seconds(9));
  EXPECT_FALSE(unmounted.result().has_value());
  EXPECT_FALSE(ejected.result().has_value());
  EXPECT_EQ(rig.system->release_requests_refused, 0);

  // One fetch answers them all, in the order they were queued.
  rig.system->resume_queue();
  EXPECT_EQ(unmounted.wait_for(std::chrono::seconds(10)),
            macos::kStatusExclusiveAccess);  // not the hold's own unmount
  EXPECT_EQ(ejected.wait_for(std::chrono::seconds(10)), macos::kStatusExclusiveAccess);
  EXPECT_TRUE(rig.system->wait_until_no_release_request(std::chrono::seconds(10)));
  EXPECT_EQ(rig.system->release_requests_refused, 1);
  EXPECT_TRUE(rig.system->claimed);
  EXPECT_FALSE(rig.system->not_responding);
  disk->unclaim();
  session->stop_serving();
}

TEST(MacosPlatform, DiskWithoutModelOrBusPathIsHeldUnlessTheRequestNamesThem) {
  SimulatedDiskFacts bare_disk;
  bare_disk.model.reset();
  bare_disk.bus_path.reset();
  MacRig rig(bare_disk);
  EXPECT_FALSE(rig.target.model.has_value());
  EXPECT_FALSE(rig.target.topology_path.has_value());
  auto device = macos::open(rig.target, rig.system);
  ASSERT_TRUE(device.has_value()) << device.error().message();
  EXPECT_FALSE((*device)->identity().model.has_value());
  EXPECT_FALSE((*device)->identity().topology_path.has_value());
  EXPECT_TRUE((*device)->verify_current_identity().has_value());
  // A model appearing while held is another disk.
  rig.system->descriptions = {changed(rig, [](SimulatedDescription& d) {
    d[DescriptionKey::kDeviceModel] = SimulatedValue::string("Other");
  })};
  EXPECT_FALSE((*device)->verify_current_identity().has_value());
  device->reset();

  for (const bool names_model : {true, false}) {
    SCOPED_TRACE(names_model);
    MacRig named(bare_disk);
    if (names_model) {
      named.target.model = "Ravik Flash Drive";
    } else {
      named.target.topology_path = "IODeviceTree:/arm-io/usb-drd1@2280000";
    }
    auto refused = macos::open(named.target, named.system);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().code(), codes::kDeviceNotRemovable);
    EXPECT_EQ(refused.error().message(),
              names_model ? "The target model changed after selection."
                          : "The target hardware topology changed after selection.");
  }
}

TEST(MacosPlatform, SeekFromTheEndCountsFromTheDisksEndNotTheNodes) {
  MacRig rig;
  auto device = macos::open(rig.target, rig.system);
  ASSERT_TRUE(device.has_value()) << device.error().message();
  HeldDeviceIo& held = **device;
  EXPECT_EQ(held.seek(SeekFrom::end(-512)), rig.facts.size - 512);
  EXPECT_EQ(held.seek(SeekFrom::end(0)), rig.facts.size);
  const auto before_start =
      held.seek(SeekFrom::end(-static_cast<std::int64_t>(rig.facts.size) - 1));
  ASSERT_FALSE(before_start.has_value());
  EXPECT_EQ(before_start.error().os_error, EINVAL);
}

TEST(MacosPlatform, RequestsOnADiskTheDaemonDoesNotKnowFailAtOnce) {
  MacRig rig;
  auto session = rig.system->create_session();
  session->serve_on_own_queue();
  auto disk = session->disk_from_bsd_name("disk4");
  ASSERT_NE(disk, nullptr);
  rig.system->disk_known = false;
  macos::DiskClaim claim(rig.system, std::move(session), std::move(disk), 4);
  const Result<void> unmounted = claim.unmount_whole();
  ASSERT_FALSE(unmounted.has_value());
  EXPECT_EQ(unmounted.error().message(),
            "Disk Arbitration could not unmount the selected disk (status 0xf8da0003).");
  // Answered inside the request: no wait ran.
  EXPECT_EQ(rig.system->now(), std::chrono::steady_clock::time_point{});
  EXPECT_FALSE(claim.is_claimed());
}

TEST(MacosPlatform, CompletionsDeliveredBeforeTheRequestReturnsAreTaken) {
  MacRig rig;
  const SimulatedOutcome at_once{.before_return = true};
  rig.system->unmounts.assign(5, at_once);
  rig.system->claims = {at_once};
  rig.system->ejects = {at_once};
  auto device = macos::open(rig.target, rig.system);
  ASSERT_TRUE(device.has_value()) << device.error().message();
  ASSERT_TRUE((*device)->eject().has_value());
  EXPECT_TRUE(*(*device)->exact_detach_confirmed());
  EXPECT_TRUE(rig.system->unmounts.empty());
  // No wait ran the loop: every completion had come with its request.
  EXPECT_EQ(rig.system->now(), std::chrono::steady_clock::time_point{});
}

TEST(MacosPlatform, IdentityStringsAreBoundedCutAtNulAndChecked) {
  struct Case {
    std::int64_t reported_maximum;
    std::optional<std::string> message;  // nothing: accepted
  };
  const std::string bound =
      "Disk Arbitration target identity string exceeds the safety bound.";
  const std::vector<Case> cases = {
      {16383, std::nullopt},
      {16384, bound},
      {-1, bound},
      {std::numeric_limits<std::int64_t>::max(), "Target string size overflow."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reported_maximum);
    MacRig rig;
    rig.target.model.reset();
    item(rig, DescriptionKey::kDeviceModel).reported_maximum_size = c.reported_maximum;
    auto device = macos::open(rig.target, rig.system);
    if (!c.message) {
      EXPECT_TRUE(device.has_value());
      continue;
    }
    ASSERT_FALSE(device.has_value());
    EXPECT_EQ(device.error().message(), *c.message);
  }
  MacRig failing_copy;
  item(failing_copy, DescriptionKey::kBusPath).copy_fails = true;
  auto refused = macos::open(failing_copy.target, failing_copy.system);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message(),
            "Disk Arbitration target identity string is not valid UTF-8.");

  MacRig embedded_nul;
  embedded_nul.target.model.reset();
  item(embedded_nul, DescriptionKey::kDeviceModel).text = std::string("Ravik\0tail", 10);
  auto cut = macos::open(embedded_nul.target, embedded_nul.system);
  ASSERT_TRUE(cut.has_value()) << cut.error().message();
  EXPECT_EQ((*cut)->identity().model, "Ravik");
}

TEST(MacosPlatform, ModelsCompareAfterWhiteSpaceNormalisationAndEjectableCounts) {
  MacRig rig;
  item(rig, DescriptionKey::kDeviceModel).text = "\tRavik\u00a0Flash Drive\n";
  item(rig, DescriptionKey::kMediaRemovable).boolean = false;
  rig.target.model = "Ravik  Flash Drive ";
  auto device = macos::open(rig.target, rig.system);
  ASSERT_TRUE(device.has_value()) << device.error().message();
  // A request without topology and model still holds both as the platform
  // reports them, and later checks compare against them.
  MacRig bare;
  bare.target.model.reset();
  bare.target.topology_path.reset();
  auto held = macos::open(bare.target, bare.system);
  ASSERT_TRUE(held.has_value()) << held.error().message();
  EXPECT_EQ((*held)->identity().model, bare.facts.model);
  bare.system->descriptions = {changed(bare, [](SimulatedDescription& d) {
    d[DescriptionKey::kBusPath] = SimulatedValue::string("IODeviceTree:/elsewhere");
  })};
  EXPECT_FALSE((*held)->verify_current_identity().has_value());
}

TEST(MacosPlatform, TargetFormIsAWholeRawDiskNode) {
  EXPECT_TRUE(macos::check_target_form("disk4", "/dev/rdisk4").has_value());
  EXPECT_TRUE(macos::check_target_form("disk12", "/dev/rdisk12").has_value());
  for (const auto& [id, path] :
       std::vector<std::pair<std::string, std::string>>{{"disk4", "/dev/disk4"},
                                                        {"disk4", "/dev/rdisk4s1"},
                                                        {"disk4s1", "/dev/rdisk4s1"},
                                                        {"disk", "/dev/rdisk"},
                                                        {"disk4", "/dev/rdisk5"},
                                                        {"disk٤", "/dev/rdisk٤"}}) {
    SCOPED_TRACE(id + " " + path);
    EXPECT_FALSE(macos::check_target_form(id, path).has_value());
  }
}

TEST(MacosPlatform, HeldGeometryAcceptsOnlyPowerOfTwoBlocksFrom512To1MiB) {
  const auto check = [](std::uint32_t block, std::uint64_t count) {
    const std::uint64_t size = block * count;
    return macos::validate_held_geometry(size, size, block,
                                         {.block_size = block, .block_count = count});
  };
  const auto accepted = check(4096, 256);
  ASSERT_TRUE(accepted.has_value());
  EXPECT_EQ(*accepted, 1'048'576u);
  for (const std::uint32_t block : {256u, 3072u, 2'097'152u}) {
    SCOPED_TRACE(block);
    const auto refused = check(block, 16);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().message(),
              "The held raw target geometry does not match the confirmed device.");
  }
  // Disk Arbitration's block size must agree with the kernel's.
  EXPECT_FALSE(macos::validate_held_geometry(8192, 8192, 512,
                                             {.block_size = 4096, .block_count = 2})
                   .has_value());
}

TEST(MacosPlatform, StatusesRenderAsUnpaddedLowerCaseHex) {
  EXPECT_EQ(macos::render_status(kStatusBusy), "0xf8da0002");
  EXPECT_EQ(macos::render_status(0), "0x0");
  EXPECT_EQ(macos::render_status(0x1c), "0x1c");
}

}  // namespace
}  // namespace ravik::testing
