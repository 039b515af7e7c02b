#include "platform/linux/mount_table.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

namespace ravik {
namespace {

TEST(ParseMountinfo, ReadsIdDeviceAndMountPoint) {
  const auto entries = parse_mountinfo(
      "22 26 0:21 / /sys rw,relatime - sysfs sysfs rw\n"
      "36 35 8:17 / /media/user/MY\\040STICK rw,nosuid shared:1 master:2 - vfat "
      "/dev/sdb1 rw\n"
      "37 36 8:18 /sub /mnt/a\\134b\\011c rw - ext4 /dev/sdb2 rw,errors=remount-ro\n"
      "38 26 0:45 / /mnt/btrfs rw - btrfs /dev/sdb3 rw\n");
  ASSERT_TRUE(entries.has_value()) << entries.error();
  ASSERT_EQ(entries->size(), 4u);
  EXPECT_EQ((*entries)[0].mount_id, 22);
  EXPECT_EQ((*entries)[0].device_number, makedev(0, 21));
  EXPECT_EQ((*entries)[1].mount_id, 36);
  EXPECT_EQ((*entries)[1].device_number, makedev(8, 17));
  EXPECT_EQ((*entries)[1].mount_point, "/media/user/MY STICK");
  EXPECT_EQ((*entries)[2].mount_point, "/mnt/a\\b\tc");
  EXPECT_EQ((*entries)[3].device_number, makedev(0, 45));
}

TEST(ParseMountinfo, EmptyTableAndIncompleteEscapes) {
  const auto empty = parse_mountinfo("");
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
  const auto odd = parse_mountinfo("1 2 8:1 / /mnt/x\\04 rw - ext4 /dev/sda1 rw");
  ASSERT_TRUE(odd.has_value()) << odd.error();
  EXPECT_EQ((*odd)[0].mount_point, "/mnt/x\\04");
}

TEST(ParseMountinfo, MalformedLinesAreRefused) {
  for (const char* text :
       {"garbage\n", "1 2 8:1 / /mnt rw ext4 /dev/sda1 rw\n",
        "1 2 8-1 / /mnt rw - ext4 /dev/sda1 rw\n", "1 2 8:1 / /mnt rw -\n",
        "1 2 :1 / /mnt rw - ext4 /dev/x rw\n",
        // A valid line followed by a broken one: nothing of it is trusted.
        "1 2 8:1 / /mnt rw - ext4 /dev/sda1 rw\nbroken\n",
        // Another table format is no mount table of this namespace.
        "/dev/sda1 /mnt ext4 rw 0 0\n"}) {
    SCOPED_TRACE(text);
    const auto result = parse_mountinfo(text);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().code(), codes::kUnmountFailed);
    EXPECT_EQ(result.error().message(), "The mount table could not be parsed.");
  }
}

TEST(ReadMountinfo, MissingFileIsUnmountFailed) {
  const auto result = read_mountinfo("/nonexistent/mountinfo");
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code(), codes::kUnmountFailed);
  EXPECT_TRUE(result.error().message().starts_with("Could not read the mount table: "));
}

TEST(ReadMountinfo, ReadsTheRealTable) {
  const auto result = read_mountinfo("/proc/self/mountinfo");
  ASSERT_TRUE(result.has_value()) << result.error();
  bool has_root = false;
  for (const auto& entry : *result) has_root |= entry.mount_point == "/";
  EXPECT_TRUE(has_root);
}

}  // namespace
}  // namespace ravik
