#include "platform/linux/disk_detach.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/linux/disk_unmount.h"
#include "platform/linux/fake_sysfs.h"

namespace ravik {
namespace {

using testing::FakeSysfs;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

TEST(RemoveScsiDisk, WritesOneToTheDeleteAttribute) {
  FakeSysfs sysfs;
  const std::string scsi = sysfs.make_device("pci0000:00/host6/target6:0:0/6:0:0:0");
  sysfs.add_disk(scsi, "sdb", "8:16", 100);
  sysfs.write_raw(scsi, "delete", "");
  ASSERT_TRUE(remove_scsi_disk("sdb", sysfs.paths()).has_value());
  EXPECT_EQ(slurp(scsi + "/delete"), "1");
}

TEST(RemoveScsiDisk, MissingAttributeIsSafeReleaseFailed) {
  FakeSysfs sysfs;
  const std::string scsi = sysfs.make_device("pci0000:00/host6/target6:0:0/6:0:0:0");
  sysfs.add_disk(scsi, "sdb", "8:16", 100);
  const auto result = remove_scsi_disk("sdb", sysfs.paths());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code(), codes::kSafeReleaseFailed);
  EXPECT_EQ(
      result.error().message(),
      "Could not remove the selected disk from the system: " + os_error_text(ENOENT));
}

TEST(UnbindMmcCard, WritesTheCardNameToTheDriver) {
  FakeSysfs sysfs;
  const std::string unbind = sysfs.root() + "/bus/mmc/drivers/mmcblk";
  sysfs.write_raw(unbind, "unbind", "");
  ASSERT_TRUE(unbind_mmc_card("mmc0:aaaa", sysfs.paths()).has_value());
  EXPECT_EQ(slurp(unbind + "/unbind"), "mmc0:aaaa");
  sysfs.remove(unbind, "unbind");
  const auto result = unbind_mmc_card("mmc0:aaaa", sysfs.paths());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code(), codes::kSafeReleaseFailed);
  EXPECT_TRUE(result.error().message().starts_with(
      "Could not unbind the selected card from its block driver: "));
}

DepartingDisk held_sdb() {
  return DepartingDisk{.kernel_name = "sdb",
                       .device_number = makedev(8, 16),
                       .disk_sequence = 17,
                       .is_loop = false};
}

TEST(WaitForDeparture, GoneOrReplacedCountsAsDeparted) {
  FakeSysfs sysfs;
  EXPECT_TRUE(wait_for_departure(held_sdb(), sysfs.paths(), std::chrono::seconds(0)));

  const std::string disk = sysfs.add_disk(sysfs.make_device("scsi0"), "sdb", "8:16", 100);
  sysfs.write(disk, "diskseq", "18");  // another medium took the name
  EXPECT_TRUE(wait_for_departure(held_sdb(), sysfs.paths(), std::chrono::seconds(0)));
  sysfs.write(disk, "diskseq", "17");
  sysfs.write(disk, "dev", "8:32");
  EXPECT_TRUE(wait_for_departure(held_sdb(), sysfs.paths(), std::chrono::seconds(0)));
}

TEST(WaitForDeparture, StillPresentTimesOut) {
  FakeSysfs sysfs;
  sysfs.add_disk(sysfs.make_device("scsi0"), "sdb", "8:16", 100);
  const auto result =
      wait_for_departure(held_sdb(), sysfs.paths(), std::chrono::milliseconds(120));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code(), codes::kTimeout);
  EXPECT_EQ(result.error().message(), kDeviceOperationTimeout);
}

TEST(WaitForDeparture, AnUnreadableAttributeIsNoDeparture) {
  FakeSysfs sysfs;
  const std::string disk = sysfs.add_disk(sysfs.make_device("scsi0"), "sdb", "8:16", 100);
  // Reading /proc/self/mem at offset 0 fails with EIO: nothing is mapped there.
  sysfs.remove(disk, "diskseq");
  std::filesystem::create_symlink("/proc/self/mem", disk + "/diskseq");
  const auto result =
      wait_for_departure(held_sdb(), sysfs.paths(), std::chrono::milliseconds(120));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code(), codes::kSafeReleaseFailed);
  EXPECT_EQ(result.error().message(),
            "Could not confirm that the selected disk detached: " + os_error_text(EIO));
}

TEST(WaitForDeparture, LoopDeviceDepartsWhenItLosesItsBackingFile) {
  FakeSysfs sysfs;
  const std::string loop = sysfs.add_disk("", "loop5", "7:5", 100);
  sysfs.write(loop, "loop/backing_file", "/tmp/image");
  const DepartingDisk disk{.kernel_name = "loop5",
                           .device_number = makedev(7, 5),
                           .disk_sequence = 17,
                           .is_loop = true};
  EXPECT_FALSE(wait_for_departure(disk, sysfs.paths(), std::chrono::milliseconds(60)));
  sysfs.remove(loop, "loop");
  EXPECT_TRUE(wait_for_departure(disk, sysfs.paths(), std::chrono::seconds(0)));
}

}  // namespace
}  // namespace ravik
