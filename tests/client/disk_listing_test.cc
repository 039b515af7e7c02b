#include "job/disk_listing.h"

#include <gtest/gtest.h>

#include "platform/linux/fake_sysfs.h"

namespace ravik::job {
namespace {

using ravik::testing::FakeSysfs;

// A USB stick with a mounted partition, an SD card, an eMMC, a SATA system
// disk and a loop device, as the kernel shows them.
void populate(FakeSysfs& sysfs) {
  const std::string base = sysfs.root() + "/devices/pci0000:00/0000:00:14.0";
  const std::string scsi =
      sysfs.make_device("pci0000:00/0000:00:14.0/usb1/1-2/host6/6:0:0:0");
  sysfs.set_subsystem(base + "/usb1", "usb");
  sysfs.set_subsystem(scsi, "scsi");
  sysfs.write(scsi, "model", "Cruzer  Blade");
  const std::string stick = sysfs.add_disk(scsi, "sdb", "8:16", 2048);
  sysfs.write(stick, "removable", "1");
  sysfs.add_partition(stick, "sdb1", "8:17", 1);

  const std::string sata =
      sysfs.make_device("pci0000:00/0000:00:17.0/ata1/host0/0:0:0:0");
  sysfs.set_subsystem(sata, "scsi");
  sysfs.write(sata, "model", "Samsung SSD");
  const std::string system = sysfs.add_disk(sata, "sda", "8:0", 4096);
  sysfs.add_partition(system, "sda2", "8:2", 2);

  for (const auto& [slot, type, name] :
       {std::tuple{"mmc0", "SD", "mmcblk0"}, std::tuple{"mmc1", "MMC", "mmcblk1"}}) {
    const std::string card = sysfs.make_device(std::string("platform/sdhci/mmc_host/") +
                                               slot + "/" + slot + ":0001");
    sysfs.set_subsystem(card, "mmc");
    sysfs.write(card, "type", type);
    sysfs.write(card, "name", "CARD");
    sysfs.add_disk(card, name, name[6] == '0' ? "179:0" : "179:8", 1024);
  }
  sysfs.add_disk("", "loop3", "7:3", 512);
  sysfs.add_disk("", "loop4", "7:4", 0);  // nothing attached
  sysfs.write(sysfs.root(), "mountinfo",
              "1 0 8:2 / / rw - ext4 /dev/sda2 rw\n"
              "2 1 8:17 / /media/u/STICK rw - vfat /dev/sdb1 rw");
  sysfs.write(sysfs.root(), "swaps", "Filename\tType\tSize\tUsed\tPriority");
}

TEST(DiskListingTest, OffersRemovableDisksAndSaysWhyNotForTheRest) {
  FakeSysfs sysfs;
  populate(sysfs);
  auto disks = list_disks(sysfs.paths(), {});
  ASSERT_TRUE(disks) << disks.error();
  EXPECT_EQ(format_disk_list(*disks, false, false),
            "DEVICE        SIZE       TRANSPORT  MODEL         MOUNTED\n"
            "/dev/mmcblk0  512.0 KiB  sd         CARD          -\n"
            "/dev/sdb      1.0 MiB    usb        Cruzer Blade  /media/u/STICK\n");
  const std::string all = format_disk_list(*disks, true, false);
  EXPECT_TRUE(
      all.starts_with("DEVICE        SIZE       TRANSPORT  MODEL              "
                      "MOUNTED         OFFERED\n"))
      << all;
  EXPECT_NE(all.find("\n/dev/sda      2.0 MiB    scsi       Samsung SSD        "
                     "/               no: "),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("/dev/loop3    256.0 KiB  loop"), std::string::npos);
  EXPECT_EQ(all.find("loop4"), std::string::npos);
  EXPECT_EQ(all.find("sdb1"), std::string::npos);  // partitions are not disks

  auto with_loops = list_disks(sysfs.paths(), {.treat_loop_devices_as_removable = true});
  ASSERT_TRUE(with_loops);
  const std::string json = format_disk_list(*with_loops, false, true);
  EXPECT_NE(json.find("{\"devicePath\":\"/dev/loop3\",\"model\":\"Linux loop device\","
                      "\"sizeBytes\":262144,\"transport\":\"loop\",\"mounted\":[],"
                      "\"offered\":true}\n"),
            std::string::npos)
      << json;
}

TEST(DiskListingTest, NoRemovableDisk_IsSaid) {
  EXPECT_EQ(format_disk_list({}, false, false), "No removable disk found.\n");
  EXPECT_EQ(format_disk_list({}, false, true), "");
}

}  // namespace
}  // namespace ravik::job
