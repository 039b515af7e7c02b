#include "platform/linux/block_device_description.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "platform/linux/fake_sysfs.h"
#include "platform/linux/target_checks.h"
#include "support/expect_error.h"

namespace ravik {
namespace {

using ::testing::ElementsAre;
using testing::FakeSysfs;

constexpr std::string_view kUsbScsiDevice =
    "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0";

// A USB stick as the usb-storage driver presents it: a SCSI disk whose
// ancestors are USB devices.
std::string add_usb_stick(FakeSysfs& sysfs) {
  const std::string scsi = sysfs.make_device(kUsbScsiDevice);
  const std::string base = sysfs.root() + "/devices/pci0000:00/0000:00:14.0";
  sysfs.set_subsystem(base, "pci");
  sysfs.set_subsystem(base + "/usb1", "usb");
  sysfs.set_subsystem(base + "/usb1/1-2", "usb");
  sysfs.set_subsystem(base + "/usb1/1-2/1-2:1.0", "usb");
  sysfs.set_subsystem(scsi, "scsi");
  sysfs.write(scsi, "model", "Cruzer  Blade   ");
  const std::string disk = sysfs.add_disk(scsi, "sdb", "8:16", 1000);
  sysfs.write(disk, "removable", "1");
  return disk;
}

Result<BlockDeviceDescription> describe(const FakeSysfs& sysfs, std::string_view name) {
  return describe_block_device(name, sysfs.paths());
}

using testing::expect_error;

TEST(DescribeBlockDevice_UsbStick, ReadsEveryFactFromSysfs) {
  FakeSysfs sysfs;
  const std::string disk = add_usb_stick(sysfs);
  sysfs.add_partition(disk, "sdb1", "8:17", 1);
  sysfs.add_partition(disk, "sdb2", "8:18", 2);

  const auto description = describe(sysfs, "sdb");
  ASSERT_TRUE(description.has_value()) << description.error();
  EXPECT_EQ(description->kernel_name, "sdb");
  EXPECT_EQ(description->size_bytes, 1000u * 512);
  EXPECT_EQ(description->logical_block_size, 512u);
  EXPECT_EQ(description->device_number, makedev(8, 16));
  EXPECT_EQ(description->disk_sequence, 17u);
  EXPECT_EQ(description->model, "Cruzer Blade");
  EXPECT_EQ(description->bus_path, "/sys/devices/" + std::string(kUsbScsiDevice));
  EXPECT_TRUE(description->whole);
  EXPECT_TRUE(description->writable);
  EXPECT_TRUE(description->removable);
  EXPECT_TRUE(description->ejectable);
  EXPECT_EQ(description->transport, BlockTransport::kScsi);
  EXPECT_EQ(description->parent_device_name, "6:0:0:0");
  std::vector<dev_t> partitions = description->partition_device_numbers;
  std::sort(partitions.begin(), partitions.end());
  EXPECT_THAT(partitions, ElementsAre(makedev(8, 17), makedev(8, 18)));
}

TEST(DescribeBlockDevice_UsbStick, FlagsFollowTheAttributes) {
  FakeSysfs sysfs;
  const std::string disk = add_usb_stick(sysfs);
  sysfs.write(disk, "ro", "1");
  sysfs.write(disk, "removable", "0");
  sysfs.write(disk, "queue/logical_block_size", "4096");
  const auto description = describe(sysfs, "sdb");
  ASSERT_TRUE(description.has_value()) << description.error();
  EXPECT_FALSE(description->writable);
  EXPECT_FALSE(description->removable);
  EXPECT_TRUE(description->ejectable);  // still on the USB bus
  EXPECT_EQ(description->logical_block_size, 4096u);
}

TEST(DescribeBlockDevice_Partition, IsNotWhole) {
  FakeSysfs sysfs;
  const std::string disk = add_usb_stick(sysfs);
  // Like the kernel's, the partition has no queue, diskseq or removable.
  sysfs.add_partition(disk, "sdb1", "8:17", 1);
  const auto description = describe(sysfs, "sdb1");
  ASSERT_TRUE(description.has_value()) << description.error();
  EXPECT_FALSE(description->whole);
  EXPECT_EQ(description->device_number, makedev(8, 17));
  EXPECT_EQ(description->size_bytes, 2048u * 512);
  EXPECT_TRUE(description->partition_device_numbers.empty());
}

TEST(DescribeBlockDevice_OtherTransports, LoopMmcAndVirtual) {
  FakeSysfs sysfs;
  sysfs.add_disk("", "loop3", "7:3", 2048);
  const auto loop = describe(sysfs, "loop3");
  ASSERT_TRUE(loop.has_value()) << loop.error();
  EXPECT_EQ(loop->transport, BlockTransport::kLoop);
  EXPECT_EQ(loop->model, kLoopDeviceModel);
  EXPECT_EQ(loop->bus_path, "/sys/devices/virtual/block/loop3");
  EXPECT_FALSE(loop->removable);
  EXPECT_FALSE(loop->ejectable);

  sysfs.add_disk("", "zram0", "252:0", 2048);
  const auto zram = describe(sysfs, "zram0");
  ASSERT_TRUE(zram.has_value()) << zram.error();
  EXPECT_EQ(zram->transport, BlockTransport::kOther);
  EXPECT_EQ(zram->model, kVirtualDeviceModel);

  const std::string host = sysfs.make_device("platform/sdhci/mmc_host/mmc0");
  const std::string card = sysfs.make_device("platform/sdhci/mmc_host/mmc0/mmc0:aaaa");
  sysfs.set_subsystem(card, "mmc");
  sysfs.write(card, "name", "SD32G");
  sysfs.add_disk(card, "mmcblk0", "179:0", 4096);
  const auto mmc = describe(sysfs, "mmcblk0");
  ASSERT_TRUE(mmc.has_value()) << mmc.error();
  EXPECT_EQ(mmc->transport, BlockTransport::kMmc);
  EXPECT_EQ(mmc->model, "SD32G");
  EXPECT_EQ(mmc->parent_device_name, "mmc0:aaaa");
  EXPECT_EQ(mmc->bus_path, "/sys/devices/platform/sdhci/mmc_host/mmc0/mmc0:aaaa");
  EXPECT_TRUE(mmc->ejectable);

  const std::string virtio = sysfs.make_device("pci0000:00/0000:00:02.0/virtio1");
  sysfs.set_subsystem(virtio, "virtio");
  sysfs.add_disk(virtio, "vda", "254:0", 4096);
  const auto vda = describe(sysfs, "vda");
  ASSERT_TRUE(vda.has_value()) << vda.error();
  EXPECT_EQ(vda->transport, BlockTransport::kOther);
  EXPECT_EQ(vda->model, kUnnamedDeviceModel);
  EXPECT_EQ(vda->bus_path, "/sys/devices/pci0000:00/0000:00:02.0/virtio1");
  EXPECT_FALSE(vda->ejectable);
}

TEST(DescribeBlockDevice_Mmc, OnlyAnSdCardIsRemovableMedia) {
  // An eMMC is on the same bus as an SD card, but soldered to the board.
  const std::vector<std::pair<std::string, bool>> kinds = {
      {"SD", true}, {"MMC", false}, {"SDIO", false}, {"", false}};
  for (const auto& [type, accepted] : kinds) {
    SCOPED_TRACE(type);
    FakeSysfs sysfs;
    const std::string card = sysfs.make_device("platform/sdhci/mmc_host/mmc0/mmc0:0001");
    sysfs.set_subsystem(card, "mmc");
    if (!type.empty()) sysfs.write(card, "type", type);
    sysfs.add_disk(card, "mmcblk0", "179:0", 4096);
    const auto mmc = describe(sysfs, "mmcblk0");
    ASSERT_TRUE(mmc.has_value()) << mmc.error();
    EXPECT_EQ(is_acceptable_removable_disk(*mmc, RemovabilityPolicy{}), accepted);
  }
}

TEST(DescribeBlockDevice_Holders, OfTheDiskAndItsPartitions) {
  FakeSysfs sysfs;
  const std::string disk = add_usb_stick(sysfs);
  const std::string partition = sysfs.add_partition(disk, "sdb1", "8:17", 1);
  std::filesystem::create_directories(disk + "/holders");
  const auto free = describe(sysfs, "sdb");
  ASSERT_TRUE(free.has_value()) << free.error();
  EXPECT_TRUE(free->holders.empty());
  sysfs.write(partition, "holders/dm-0", "");
  sysfs.write(disk, "holders/md127", "");
  const auto held = describe(sysfs, "sdb");
  ASSERT_TRUE(held.has_value()) << held.error();
  std::vector<std::string> holders = held->holders;
  std::sort(holders.begin(), holders.end());
  EXPECT_THAT(holders, ElementsAre("dm-0", "md127"));
}

TEST(DescribeBlockDevice_Unresolvable, IsDisconnected) {
  FakeSysfs sysfs;
  add_usb_stick(sysfs);
  for (const char* name : {"sdc", "", "..", "../sdb", "sdb/../sdb", ".sdb"}) {
    expect_error(describe(sysfs, name), codes::kDeviceDisconnected,
                 "sysfs could not resolve the selected whole disk.");
  }
}

TEST(DescribeBlockDevice_BadAttributes, RefusedWithTheReaderMessages) {
  struct Case {
    const char* attribute;
    std::string value;  // written raw; empty means: removed
    const char* message;
  };
  const std::vector<Case> cases = {
      {"size", "", "sysfs omitted required target identity information."},
      {"diskseq", "", "sysfs omitted required target identity information."},
      {"queue/logical_block_size", "",
       "sysfs omitted required target identity information."},
      {"size", "12x\n", "sysfs returned invalid numeric target identity information."},
      {"size", "-1\n", "sysfs returned invalid numeric target identity information."},
      {"size", "36028797018963968\n",
       "sysfs returned invalid numeric target identity information."},
      {"ro", "2\n", "sysfs returned invalid numeric target identity information."},
      {"dev", "8\n", "sysfs returned invalid numeric target identity information."},
      {"dev", "8:x\n", "sysfs returned invalid numeric target identity information."},
      {"device/model", std::string(16384, 'M'),
       "sysfs target identity string exceeds the safety bound."},
      {"device/model", "Bad\xff\xfemodel\n",
       "sysfs target identity string is not valid UTF-8."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.attribute) + " = " + c.value.substr(0, 40));
    FakeSysfs sysfs;
    const std::string disk = add_usb_stick(sysfs);
    if (c.value.empty()) {
      sysfs.remove(disk, c.attribute);
    } else {
      sysfs.write_raw(disk, c.attribute, c.value);
    }
    expect_error(describe(sysfs, "sdb"), codes::kDeviceNotRemovable, c.message);
  }
}

TEST(DescribeBlockDevice_Model, LongestAcceptedAndCutAtNul) {
  FakeSysfs sysfs;
  const std::string disk = add_usb_stick(sysfs);
  sysfs.write_raw(disk, "device/model", std::string(16383, 'M'));
  const auto longest = describe(sysfs, "sdb");
  ASSERT_TRUE(longest.has_value()) << longest.error();
  EXPECT_EQ(longest->model.size(), 16383u);

  sysfs.write_raw(disk, "device/model", std::string("Stick\0hidden\n", 13));
  const auto cut = describe(sysfs, "sdb");
  ASSERT_TRUE(cut.has_value()) << cut.error();
  EXPECT_EQ(cut->model, "Stick");

  sysfs.write(disk, "device/model", "   ");
  const auto blank = describe(sysfs, "sdb");
  ASSERT_TRUE(blank.has_value()) << blank.error();
  EXPECT_EQ(blank->model, kUnnamedDeviceModel);
}

TEST(IsPlainKernelName, Table) {
  for (const char* name :
       {"sda", "loop0", "nvme0n1", "mmcblk0", "dm-0", "md_127", "a.b"}) {
    EXPECT_TRUE(is_plain_kernel_name(name)) << name;
  }
  for (const char* name : {"", ".", "..", ".x", "a/b", "sd a", "cciss!c0d0", "sdé"}) {
    EXPECT_FALSE(is_plain_kernel_name(name)) << name;
  }
  EXPECT_TRUE(is_plain_kernel_name(std::string(255, 'a')));
  EXPECT_FALSE(is_plain_kernel_name(std::string(256, 'a')));
}

}  // namespace
}  // namespace ravik
