#include "platform/linux/unmount_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/linux/fake_sysfs.h"

namespace ravik {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Records what the unmounting process would unmount.
class RecordedMounts final : public MountOperations {
 public:
  std::vector<std::string> unmounted;
  Result<std::vector<MountEntry>> mounts() override { return std::vector<MountEntry>(); }
  int unmount(const MountEntry& entry) override {
    unmounted.push_back(entry.mount_point);
    return 0;
  }
};

// A USB stick sdb (partition sdb1) and the fixed system disk sda (sda2).
class UnmountServiceCheck : public ::testing::Test {
 protected:
  UnmountServiceCheck() {
    const std::string usb = sysfs_.make_device("pci0000:00/usb1/1-2/host6/6:0:0:0");
    sysfs_.set_subsystem(sysfs_.root() + "/devices/pci0000:00/usb1", "usb");
    const std::string stick = sysfs_.add_disk(usb, "sdb", "8:16", 1000);
    sysfs_.add_partition(stick, "sdb1", "8:17", 1);
    const std::string ata = sysfs_.make_device("pci0000:00/ata1/host0/0:0:0:0");
    const std::string fixed = sysfs_.add_disk(ata, "sda", "8:0", 100000);
    sysfs_.add_partition(fixed, "sda2", "8:2", 2);
    sysfs_.write(sysfs_.root(), "swaps", "Filename\tType\tSize\tUsed\tPriority");
  }

  void mount_table(const std::string& text) {
    sysfs_.write(sysfs_.root(), "mountinfo", text);
  }

  int unmount(int mount_id) {
    return unmount_removable_disk_mount(mount_id, sysfs_.paths(), {}, recorded_);
  }

  testing::FakeSysfs sysfs_;
  RecordedMounts recorded_;
};

TEST_F(UnmountServiceCheck, OnlyAFileSystemOfAnUnusedRemovableDiskIsUnmounted) {
  mount_table(
      "1 0 8:2 / / rw - ext4 /dev/sda2 rw\n"
      "30 1 8:17 / /media/user/STICK rw - vfat /dev/sdb1 rw\n"
      "31 1 8:16 / /mnt/whole rw - vfat /dev/sdb rw\n"
      "32 1 0:45 / /run/user rw - tmpfs /dev/sdb1 rw\n"
      "33 1 8:0 / /mnt/fixed rw - ext4 /dev/sdb1 rw");
  // The system disk, by its partition or whole; a file system on no disk,
  // whatever it calls itself; a mount that is not listed.
  EXPECT_EQ(unmount(1), EPERM);
  EXPECT_EQ(unmount(33), EPERM);
  EXPECT_EQ(unmount(32), EPERM);
  EXPECT_EQ(unmount(99), EINVAL);
  EXPECT_THAT(recorded_.unmounted, IsEmpty());
  EXPECT_EQ(unmount(30), 0);
  EXPECT_EQ(unmount(31), 0);
  EXPECT_THAT(recorded_.unmounted, ElementsAre("/media/user/STICK", "/mnt/whole"));
}

TEST_F(UnmountServiceCheck, ARemovableDiskTheSystemUsesIsRefused) {
  mount_table(
      "1 0 8:2 / / rw - ext4 /dev/sda2 rw\n"
      "30 1 8:17 / /media/user/STICK rw - vfat /dev/sdb1 rw\n"
      "34 1 8:16 / /usr rw - ext4 /dev/sdb rw");
  EXPECT_EQ(unmount(30), EPERM);
  EXPECT_THAT(recorded_.unmounted, IsEmpty());
}

}  // namespace
}  // namespace ravik
