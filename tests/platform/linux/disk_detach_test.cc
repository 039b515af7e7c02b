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

DepartingDisk held_sdb() {
  return DepartingDisk{.kernel_name = "sdb",
                       .device_number = makedev(8, 16),
                       .disk_sequence = 17,
                       .is_loop = false};
}

// A USB stick as the kernel shows it: the SCSI unit below the USB interface,
// its disk "sdb" with disk sequence 17.
std::string add_ejectable_stick(FakeSysfs& sysfs) {
  const std::string unit = sysfs.make_device(
      "pci0000:00/0000:00:02.0/usb2/2-1/2-1:1.0/host0/target0:0:0/0:0:0:0");
  sysfs.add_disk(unit, "sdb", "8:16", 100);  // disk sequence 17
  sysfs.write_raw(unit, "delete", "");
  return unit;
}

// What a real USB stick did on release: the eject (START STOP UNIT) made the
// kernel see a media change, which raised the disk sequence while the disk
// stayed. The pinned unit is still deleted, and only its removal counts as
// the departure.
TEST(PinnedScsiDisk, EjectedMediumIsDeletedAndAwaitedThroughItsUnit) {
  FakeSysfs sysfs;
  const std::string unit = add_ejectable_stick(sysfs);
  auto pinned = pin_disk_device(held_sdb(), sysfs.paths());
  ASSERT_TRUE(pinned) << pinned.error().message();
  DepartingDisk disk = held_sdb();
  disk.device_directory = pinned->get();

  sysfs.write(unit + "/block/sdb", "diskseq", "18");
  ASSERT_TRUE(remove_scsi_disk(disk.device_directory).has_value());
  EXPECT_EQ(slurp(unit + "/delete"), "1");
  const auto waiting =
      wait_for_departure(disk, sysfs.paths(), std::chrono::milliseconds(60));
  ASSERT_FALSE(waiting.has_value()) << "a media change is no departure";
  EXPECT_EQ(waiting.error().code(), codes::kTimeout);

  std::filesystem::remove_all(unit);
  EXPECT_TRUE(wait_for_departure(disk, sysfs.paths(), std::chrono::seconds(0)));
}

// A stick pulled and another plugged into the same port gets the same name,
// device number and sysfs path: the pinned unit is neither deleted nor taken
// for the held one.
TEST(PinnedScsiDisk, DeviceAtTheSamePathLaterIsNeverTouched) {
  FakeSysfs sysfs;
  const std::string unit = add_ejectable_stick(sysfs);
  auto pinned = pin_disk_device(held_sdb(), sysfs.paths());
  ASSERT_TRUE(pinned);
  DepartingDisk disk = held_sdb();
  disk.device_directory = pinned->get();

  std::filesystem::remove_all(unit);
  sysfs.remove(sysfs.root() + "/class/block", "sdb");
  add_ejectable_stick(sysfs);
  ASSERT_TRUE(remove_scsi_disk(disk.device_directory).has_value());
  EXPECT_EQ(slurp(unit + "/delete"), "");
  EXPECT_TRUE(wait_for_departure(disk, sysfs.paths(), std::chrono::seconds(0)));
  EXPECT_FALSE(unbind_mmc_card(disk, "mmc0:aaaa", sysfs.paths()));
}

TEST(PinnedScsiDisk, PinningRefusesAnotherDiskOrMedium) {
  FakeSysfs sysfs;
  const std::string unit = add_ejectable_stick(sysfs);
  sysfs.write(unit + "/block/sdb", "diskseq", "18");
  const auto changed = pin_disk_device(held_sdb(), sysfs.paths());
  ASSERT_FALSE(changed);
  EXPECT_EQ(changed.error().code(), codes::kSafeReleaseFailed);
  EXPECT_EQ(changed.error().message(),
            "The selected disk changed before it could be detached.");
  sysfs.write(unit + "/block/sdb", "diskseq", "17");
  sysfs.write(unit + "/block/sdb", "dev", "8:32");
  EXPECT_FALSE(pin_disk_device(held_sdb(), sysfs.paths()));
  std::filesystem::remove_all(unit);
  EXPECT_FALSE(pin_disk_device(held_sdb(), sysfs.paths()));
}

TEST(UnbindMmcCard, WritesTheCardNameWhileThePinnedCardHoldsTheDisk) {
  FakeSysfs sysfs;
  const std::string card =
      sysfs.make_device("pci0000:00/0000:00:06.0/mmc_host/mmc0/mmc0:aaaa");
  sysfs.add_disk(card, "mmcblk0", "179:0", 100);
  sysfs.write(card + "/block/mmcblk0", "diskseq", "9");
  const std::string unbind = sysfs.root() + "/bus/mmc/drivers/mmcblk";
  sysfs.write_raw(unbind, "unbind", "");
  const DepartingDisk held{
      .kernel_name = "mmcblk0", .device_number = makedev(179, 0), .disk_sequence = 9};
  auto pinned = pin_disk_device(held, sysfs.paths());
  ASSERT_TRUE(pinned);
  DepartingDisk disk = held;
  disk.device_directory = pinned->get();
  ASSERT_TRUE(unbind_mmc_card(disk, "mmc0:aaaa", sysfs.paths()).has_value());
  EXPECT_EQ(slurp(unbind + "/unbind"), "mmc0:aaaa");
  // The unbind removes the disk from the card, which stays.
  std::filesystem::remove_all(card + "/block");
  EXPECT_TRUE(wait_for_departure(disk, sysfs.paths(), std::chrono::seconds(0)));

  sysfs.remove(unbind, "unbind");
  sysfs.remove(sysfs.root() + "/class/block", "mmcblk0");
  sysfs.add_disk(card, "mmcblk0", "179:0", 100);
  sysfs.write(card + "/block/mmcblk0", "diskseq", "9");
  const auto result = unbind_mmc_card(disk, "mmc0:aaaa", sysfs.paths());
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code(), codes::kSafeReleaseFailed);
  EXPECT_TRUE(result.error().message().starts_with(
      "Could not unbind the selected card from its block driver: "));
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
