#include "platform/linux/disk_offer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/linux/fake_sysfs.h"

namespace ravik {
namespace {

using testing::FakeSysfs;

BlockDeviceDescription offered_usb_stick() {
  BlockDeviceDescription d;
  d.kernel_name = "sdb";
  d.device_number = makedev(8, 16);
  d.partition_device_numbers = {makedev(8, 17), makedev(8, 18)};
  d.whole = true;
  d.writable = true;
  d.ejectable = true;
  d.transport = BlockTransport::kScsi;
  return d;
}

std::string refusal(const Result<void>& result) {
  if (result) return "<offered>";
  EXPECT_EQ(result.error().code(), codes::kDeviceNotRemovable);
  return result.error().message();
}

TEST(CheckNotInSystemUse, SystemFileSystemsSwapAndHoldersAreRefused) {
  const auto stick = offered_usb_stick();
  SystemUse use;
  use.mounts = {{1, makedev(8, 2), "/"},
                {2, makedev(0, 45), "/var"},  // a tmpfs, whatever it calls itself
                {3, makedev(8, 17), "/media/user/STICK"},
                {4, makedev(8, 1), "/boot/efi"}};
  EXPECT_EQ(refusal(check_not_in_system_use(stick, use)), "<offered>");

  for (const char* system_mount : {"/", "/boot", "/boot/efi", "/usr", "/var"}) {
    SystemUse with_system = use;
    with_system.mounts.push_back({5, makedev(8, 18), system_mount});
    EXPECT_EQ(refusal(check_not_in_system_use(stick, with_system)),
              "The selected disk holds a system file system (" +
                  std::string(system_mount) + ").");
  }
  SystemUse whole_disk_root = use;
  whole_disk_root.mounts.push_back({6, makedev(8, 16), "/"});
  EXPECT_EQ(refusal(check_not_in_system_use(stick, whole_disk_root)),
            "The selected disk holds a system file system (/).");

  SystemUse with_swap = use;
  with_swap.swap_areas = {{"/dev/sda3", makedev(8, 3)}, {"/dev/sdb2", makedev(8, 18)}};
  EXPECT_EQ(refusal(check_not_in_system_use(stick, with_swap)),
            "The selected disk holds an active swap area (/dev/sdb2).");

  auto held = stick;
  held.holders = {"dm-0"};
  EXPECT_EQ(refusal(check_not_in_system_use(held, use)),
            "The selected disk is in use by dm-0.");
  // Removability is judged first.
  held.ejectable = false;
  EXPECT_EQ(refusal(check_disk_offered(held, use, {})), kNotRemovableMessage);
}

TEST(AssessDiskOffer, ReadsTheDiskAndTheSystemUseAtThePaths) {
  FakeSysfs sysfs;
  // A swap file inside the fake tree lives on the file system whose device
  // number the stick's partition is given here.
  struct stat tree {};
  ASSERT_EQ(::stat(sysfs.root().c_str(), &tree), 0);
  const std::string partition_dev =
      std::to_string(major(tree.st_dev)) + ":" + std::to_string(minor(tree.st_dev));
  const std::string usb = sysfs.make_device("pci0000:00/usb1/1-2/host6/6:0:0:0");
  sysfs.set_subsystem(sysfs.root() + "/devices/pci0000:00/usb1", "usb");
  const std::string disk = sysfs.add_disk(usb, "sdb", "8:16", 1000);
  sysfs.add_partition(disk, "sdb1", partition_dev, 1);
  sysfs.write(sysfs.root(), "mountinfo", "1 0 8:2 / / rw - ext4 /dev/sda2 rw");
  // The kernel's layout: a header, then one line per area.
  const std::string header = "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority";
  sysfs.write(sysfs.root(), "swaps", header);
  sysfs.write(sysfs.root(), "swapfile", "");

  const DiskOffer offered = assess_disk_offer("sdb", sysfs.paths(), {});
  EXPECT_TRUE(offered.offered) << offered.reason;
  EXPECT_EQ(offered.reason, "");

  sysfs.write(sysfs.root(), "swaps",
              header + "\n" + sysfs.root() + "/swapfile\tfile\t1020\t0\t-2");
  const DiskOffer swapping = assess_disk_offer("sdb", sysfs.paths(), {});
  EXPECT_FALSE(swapping.offered);
  EXPECT_EQ(swapping.reason, "The selected disk holds an active swap area (" +
                                 sysfs.root() + "/swapfile).");

  const DiskOffer missing = assess_disk_offer("sdc", sysfs.paths(), {});
  EXPECT_FALSE(missing.offered);
  EXPECT_EQ(missing.reason, "sysfs could not resolve the selected whole disk.");
}

}  // namespace
}  // namespace ravik
