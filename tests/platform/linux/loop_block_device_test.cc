// End-to-end tests of the Linux backend against real loop devices that each
// test makes and detaches again: what the helper-level tests cannot reach
// (direct and bounced transfers, misaligned requests, the closed state,
// partitions, mounts appearing during the hold, deferred loop detach).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "io/unique_fd.h"
#include "platform/aligned_buffer.h"
#include "platform/linux/open_linux_block_device.h"
#include "platform/linux/unmount_service.h"
#include "support/loop_device_fixture.h"
#include "support/pattern_bytes.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

namespace fs = std::filesystem;
using testing::LoopDevice;
using testing::pattern_bytes;
using testing::run_command;

constexpr std::uint64_t kDiskBytes = 32 * 1024 * 1024;
LinuxOpenOptions testing_options() {
  LinuxOpenOptions options;
  options.policy.treat_loop_devices_as_removable = true;
  return options;
}
const LinuxOpenOptions kTesting = testing_options();

SelectedDisk target_for(const LoopDevice& loop) {
  SelectedDisk target;
  target.platform = DiskPlatform::kLinux;
  target.device_id = loop.name();
  target.device_path = loop.path();
  target.size_bytes = loop.size_bytes();
  return target;
}

std::string read_backing(const LoopDevice& loop, std::uint64_t offset, std::size_t size) {
  std::ifstream in(loop.backing_path(), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::string bytes(size, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  return bytes;
}

bool is_mounted(const std::string& mount_point) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(" " + mount_point + " ") != std::string::npos) return true;
  }
  return false;
}

class LoopBlockDeviceTest : public ::testing::Test {
 protected:
  // Attaches a fresh loop device; skips the test loudly where that fails.
  void attach(unsigned sector_size = 512, std::uint64_t size = kDiskBytes) {
    std::string why_not;
    auto attached =
        LoopDevice::attach(scratch_.path() + "/disk.img", size, sector_size, why_not);
    if (attached) loop_.emplace(std::move(*attached));
    if (!loop_) {
      skipped_ = true;
      std::fprintf(stderr, "\n*** LOOP DEVICES UNAVAILABLE: %s\n", why_not.c_str());
    }
  }

  Result<std::unique_ptr<HeldDeviceIo>> open(const LinuxOpenOptions& options = kTesting) {
    return open_linux_block_device(target_for(*loop_), options);
  }

  std::string mount_point(const std::string& name) {
    const std::string path = scratch_.path() + "/" + name;
    fs::create_directories(path);
    return path;
  }

  // In memory, so the medium is never what a test waits for.
  const harness::TempDir scratch_{"/dev/shm"};
  std::optional<LoopDevice> loop_;
  bool skipped_ = false;
};

#define ATTACH_OR_SKIP(...)                                                             \
  do {                                                                                  \
    attach(__VA_ARGS__);                                                                \
    if (skipped_) RAVIK_SKIP_WITHOUT_LOOP_DEVICES("losetup could not attach a device"); \
  } while (0)

class LoopBlockDeviceSectorTest : public LoopBlockDeviceTest,
                                  public ::testing::WithParamInterface<unsigned> {};

TEST_P(LoopBlockDeviceSectorTest, HoldWriteReadVerifyAndEject) {
  const unsigned sector = GetParam();
  ATTACH_OR_SKIP(sector);
  auto opened = open();
  ASSERT_TRUE(opened.has_value()) << opened.error();
  HeldDeviceIo& device = **opened;

  const DiskIdentity& identity = device.identity();
  EXPECT_EQ(identity.platform, DiskPlatform::kLinux);
  EXPECT_EQ(identity.device_id, loop_->name());
  EXPECT_EQ(identity.device_path, loop_->path());
  EXPECT_EQ(identity.size_bytes, kDiskBytes);
  EXPECT_EQ(identity.topology_path, "/sys/devices/virtual/block/" + loop_->name());
  EXPECT_EQ(identity.model, "Linux loop device");
  EXPECT_TRUE(identity.removable && identity.writable && identity.whole_device);
  EXPECT_FALSE(identity.mounted);
  EXPECT_EQ(device.capacity(), kDiskBytes);
  EXPECT_EQ(device.logical_block_size(), sector);
  EXPECT_TRUE(device.requires_aligned_io());
  EXPECT_FALSE(*device.exact_detach_confirmed());

  // Aligned memory goes straight to the device; memory one byte off is
  // bounced. Both must land byte for byte.
  const auto first = pattern_bytes(1024 * 1024, 1);
  AlignedBuffer aligned(sector, first.size());
  std::memcpy(aligned.data(), first.data(), first.size());
  ASSERT_TRUE(device.seek(SeekFrom::start(0)).has_value());
  ASSERT_TRUE(device.write_all(aligned.span()).has_value());
  const auto second = pattern_bytes(6 * 1024 * 1024, 2);  // above the bounce size
  std::vector<std::uint8_t> unaligned_storage(second.size() + 1);
  std::memcpy(unaligned_storage.data() + 1, second.data(), second.size());
  const std::span<const std::uint8_t> unaligned(unaligned_storage.data() + 1,
                                                second.size());
  ASSERT_TRUE(device.write_all(unaligned).has_value());
  ASSERT_TRUE(device.sync_all().has_value());

  std::vector<std::uint8_t> back_storage(second.size() + 1);
  const std::span<std::uint8_t> back(back_storage.data() + 1, second.size());
  ASSERT_EQ(*device.seek(SeekFrom::start(first.size())), first.size());
  ASSERT_TRUE(device.read_exact(back).has_value());
  EXPECT_TRUE(std::equal(back.begin(), back.end(), second.begin()));
  AlignedBuffer aligned_back(sector, first.size());
  ASSERT_TRUE(device.seek(SeekFrom::start(0)).has_value());
  ASSERT_TRUE(device.read_exact(aligned_back.span()).has_value());
  EXPECT_EQ(std::memcmp(aligned_back.data(), first.data(), first.size()), 0);
  EXPECT_EQ(read_backing(*loop_, 0, first.size()),
            std::string(first.begin(), first.end()));
  EXPECT_EQ(read_backing(*loop_, first.size(), second.size()),
            std::string(second.begin(), second.end()));
  EXPECT_EQ(*device.seek(SeekFrom::end(0)), kDiskBytes);

  // Misaligned requests reach the kernel unchanged and fail there.
  ASSERT_TRUE(device.seek(SeekFrom::start(0)).has_value());
  const auto short_write = device.write(aligned.span().first(sector - 1));
  ASSERT_FALSE(short_write.has_value());
  EXPECT_EQ(short_write.error().os_error, EINVAL);
  ASSERT_TRUE(device.seek(SeekFrom::start(1)).has_value());
  const auto off_write = device.write(aligned.span().first(sector));
  ASSERT_FALSE(off_write.has_value());
  EXPECT_EQ(off_write.error().os_error, EINVAL);

  ASSERT_TRUE(device.verify_current_identity().has_value());
  const auto ejected = device.eject();
  ASSERT_TRUE(ejected.has_value()) << ejected.error();
  EXPECT_TRUE(*device.exact_detach_confirmed());
  EXPECT_FALSE(loop_->attached_to_backing_file());

  std::uint8_t byte = 0;
  const auto closed_read = device.read({&byte, 1});
  ASSERT_FALSE(closed_read.has_value());
  EXPECT_EQ(closed_read.error().describe(), "The held raw target is closed.");
  const auto again = device.eject();
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().code(), codes::kDeviceDisconnected);
  EXPECT_EQ(again.error().message(),
            "Raw target is no longer open: The held raw target is closed.");
  const auto sync = device.sync_all();
  ASSERT_FALSE(sync.has_value());
  EXPECT_EQ(sync.error().code(), codes::kWriteFailed);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, LoopBlockDeviceSectorTest,
                         ::testing::Values(512u, 4096u));

// A hold that only reads holds the disk as exclusively, but the kernel
// refuses every write through its descriptor.
TEST_F(LoopBlockDeviceTest, ReadOnlyHold_ReadsAndTheKernelRefusesItsWrites) {
  ATTACH_OR_SKIP();
  SelectedDisk target = target_for(*loop_);
  target.read_only = true;
  auto opened = open_linux_block_device(target, kTesting);
  ASSERT_TRUE(opened.has_value()) << opened.error();
  HeldDeviceIo& device = **opened;
  AlignedBuffer block(512, 512);
  ASSERT_TRUE(device.seek(SeekFrom::start(0)).has_value());
  ASSERT_TRUE(device.read_exact(block.span()).has_value());
  ASSERT_TRUE(device.seek(SeekFrom::start(0)).has_value());
  const auto written = device.write(block.span());
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().os_error, EBADF);
  EXPECT_TRUE(device.sync_all().has_value());
  EXPECT_TRUE(device.verify_current_identity().has_value());
}

TEST_F(LoopBlockDeviceTest, MountedFileSystemsOfDiskAndPartitionAreUnmountedByOpen) {
  ATTACH_OR_SKIP(512, 64 * 1024 * 1024);
  // Two partitions: an ext4 on the first is mounted, and (after the table is
  // wiped by a whole-disk file system on a second device of the same test)
  // the same for a file system on the whole disk.
  const auto table = run_command(
      {"sh", "-c",
       "printf 'start=2048, size=40960, type=83\\n' | sfdisk -q " + loop_->path()});
  ASSERT_EQ(table.exit_code, 0) << table.output;
  const auto added = run_command({"partx", "-a", loop_->path()});
  ASSERT_EQ(added.exit_code, 0) << added.output;
  const std::string partition = loop_->path() + "p1";
  ASSERT_TRUE(fs::exists(partition)) << "partx did not create " << partition;
  const auto made = run_command({"mkfs.ext4", "-q", "-F", partition});
  ASSERT_EQ(made.exit_code, 0) << made.output;
  const std::string on_partition = mount_point("partition");
  const auto mounted = run_command({"mount", "-t", "ext4", partition, on_partition});
  ASSERT_EQ(mounted.exit_code, 0) << mounted.output;
  ASSERT_TRUE(is_mounted(on_partition));

  // A partition is not a whole disk.
  SelectedDisk part_target = target_for(*loop_);
  part_target.device_id = loop_->name() + "p1";
  part_target.device_path = partition;
  const auto part_open = open_linux_block_device(part_target, kTesting);
  ASSERT_FALSE(part_open.has_value());
  EXPECT_EQ(part_open.error().code(), codes::kDeviceNotRemovable);
  EXPECT_EQ(part_open.error().message(), kTargetFormMessage);
  EXPECT_TRUE(is_mounted(on_partition));

  auto held = open();
  ASSERT_TRUE(held.has_value()) << held.error();
  EXPECT_FALSE(is_mounted(on_partition));
  held->reset();

  // The whole disk carrying a file system.
  (void)run_command({"partx", "-d", loop_->path()});
  const auto whole_fs = run_command({"mkfs.ext4", "-q", "-F", loop_->path()});
  ASSERT_EQ(whole_fs.exit_code, 0) << whole_fs.output;
  const std::string on_disk = mount_point("whole");
  const auto whole_mounted = run_command({"mount", "-t", "ext4", loop_->path(), on_disk});
  ASSERT_EQ(whole_mounted.exit_code, 0) << whole_mounted.output;
  ASSERT_TRUE(is_mounted(on_disk));
  auto again = open();
  ASSERT_TRUE(again.has_value()) << again.error();
  EXPECT_FALSE(is_mounted(on_disk));
}

TEST_F(LoopBlockDeviceTest, IdentityCheckLeavesAForeignMountNamedLikeTheDisk) {
  ATTACH_OR_SKIP();
  auto held = open();
  ASSERT_TRUE(held.has_value()) << held.error();
  // A tmpfs whose mount source names the held disk is not on the disk: any
  // mount may name any source, so only the device number counts.
  const std::string target = mount_point("appeared");
  ASSERT_EQ(::mount(loop_->path().c_str(), target.c_str(), "tmpfs", 0, "size=1m"), 0)
      << std::strerror(errno);
  const auto verified = (*held)->verify_current_identity();
  const bool still_mounted = is_mounted(target);
  if (still_mounted) ::umount(target.c_str());
  ASSERT_TRUE(verified.has_value()) << verified.error();
  EXPECT_TRUE(still_mounted);
}

// The unmounting process decides from its own reading: asked for any mount
// ID, it takes down only a file system of an acceptable removable disk.
TEST_F(LoopBlockDeviceTest, UnmountServiceUnmountsOnlyARemovableDisksFileSystem) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount and unmount";
  ATTACH_OR_SKIP();
  ASSERT_EQ(run_command({"mkfs.ext4", "-q", "-F", loop_->path()}).exit_code, 0);
  const std::string on_disk = mount_point("disk");
  ASSERT_EQ(run_command({"mount", "-t", "ext4", loop_->path(), on_disk}).exit_code, 0);
  const std::string foreign = mount_point("foreign");
  ASSERT_EQ(::mount(loop_->path().c_str(), foreign.c_str(), "tmpfs", 0, "size=1m"), 0)
      << std::strerror(errno);
  const auto entry_at = [](const std::string& point) {
    const auto table = read_mountinfo("/proc/self/mountinfo");
    EXPECT_TRUE(table.has_value());
    for (const MountEntry& entry : table.value_or(std::vector<MountEntry>())) {
      if (entry.mount_point == point) return entry;
    }
    ADD_FAILURE() << point << " is not mounted";
    return MountEntry{};
  };
  {
    // Loop devices are no removable disks to the production policy.
    const std::shared_ptr<void> strict = start_unmount_service({});
    ASSERT_NE(strict, nullptr);
    EXPECT_EQ(unmount_through_service(entry_at(on_disk)), EPERM);
  }
  EXPECT_EQ(unmount_through_service(entry_at(on_disk)), std::nullopt);
  const std::shared_ptr<void> service =
      start_unmount_service({.treat_loop_devices_as_removable = true});
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(unmount_through_service(entry_at(foreign)), EPERM);
  EXPECT_EQ(unmount_through_service(entry_at(on_disk)), 0);
  EXPECT_FALSE(is_mounted(on_disk));
  EXPECT_TRUE(is_mounted(foreign));
  ::umount(foreign.c_str());
}

TEST_F(LoopBlockDeviceTest, EjectWaitsUntilTheLastOtherOpenerHasClosed) {
  ATTACH_OR_SKIP();
  auto held = open();
  ASSERT_TRUE(held.has_value()) << held.error();
  // A reader that is not a claimant (as udev's probes are) keeps the loop
  // device attached until it closes; the release must wait for that and only
  // then report the detach.
  UniqueFd reader(::open(loop_->path().c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(reader.valid());
  std::thread closer([&reader] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    reader.reset();
  });
  const auto ejected = (*held)->eject();
  closer.join();
  ASSERT_TRUE(ejected.has_value()) << ejected.error();
  EXPECT_TRUE(*(*held)->exact_detach_confirmed());
  EXPECT_FALSE(loop_->attached_to_backing_file());
}

}  // namespace
}  // namespace ravik
