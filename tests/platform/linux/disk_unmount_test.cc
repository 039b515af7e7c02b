#include "platform/linux/disk_unmount.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <map>

namespace ravik {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A mount table that unmount() edits like the kernel would, with switches for
// refusals and for file systems that come back.
class FakeMounts final : public MountOperations {
 public:
  std::vector<MountEntry> table;
  std::map<std::string, int> refuse;  // mount point -> errno
  bool remount_forever = false;
  std::vector<std::string> unmounted;

  void add(dev_t device, std::string mount_point) {
    table.push_back({next_id_++, device, std::move(mount_point)});
  }

  Result<std::vector<MountEntry>> mounts() override { return table; }
  int unmount(const MountEntry& entry) override {
    unmounted.push_back(entry.mount_point);
    if (const auto it = refuse.find(entry.mount_point); it != refuse.end()) {
      return it->second;
    }
    // Like the system, only the topmost mount at the path can be reached.
    for (auto it = table.rbegin(); it != table.rend(); ++it) {
      if (it->mount_point != entry.mount_point) continue;
      if (it->mount_id != entry.mount_id) return kMountMoved;
      if (!remount_forever) table.erase(std::next(it).base());
      return 0;
    }
    return kMountMoved;
  }

 private:
  int next_id_ = 20;
};

const dev_t kDisk = makedev(8, 16);
const dev_t kPart1 = makedev(8, 17);
const dev_t kPart2 = makedev(8, 18);
const dev_t kOther = makedev(8, 0);
const std::vector<dev_t> kDiskDevices = {kPart1, kPart2, kDisk};

TEST(UnmountDiskFileSystems, DeepestFirstThenLatest) {
  FakeMounts mounts;
  mounts.add(kOther, "/");
  mounts.add(kPart1, "/media/a");
  mounts.add(kPart2, "/media/a/inner/deep");
  mounts.add(kDisk, "/mnt/whole");
  mounts.add(kPart2, "/media/b");
  ASSERT_TRUE(unmount_disk_file_systems(kDiskDevices, mounts).has_value());
  EXPECT_THAT(mounts.unmounted,
              ElementsAre("/media/a/inner/deep", "/media/b", "/mnt/whole", "/media/a"));
  ASSERT_EQ(mounts.table.size(), 1u);
  EXPECT_EQ(mounts.table[0].mount_point, "/");
}

TEST(UnmountDiskFileSystems, NothingOfTheDiskMountedTouchesNothing) {
  FakeMounts mounts;
  mounts.add(kOther, "/");
  mounts.add(makedev(8, 33), "/media/other");
  ASSERT_TRUE(unmount_disk_file_systems(kDiskDevices, mounts).has_value());
  EXPECT_THAT(mounts.unmounted, IsEmpty());
}

TEST(UnmountDiskFileSystems, MountsAreRecognisedByTheirDeviceNumberOnly) {
  // Whatever a mount names as its source (a tmpfs may call itself
  // "/dev/sdb1"), only its device number ties it to the disk.
  FakeMounts mounts;
  mounts.add(makedev(0, 45), "/mnt/named-like-the-disk");
  mounts.add(kPart1, "/mnt/on-the-disk");
  ASSERT_TRUE(unmount_disk_file_systems(kDiskDevices, mounts).has_value());
  EXPECT_THAT(mounts.unmounted, ElementsAre("/mnt/on-the-disk"));
}

TEST(UnmountDiskFileSystems, AMountThatStaysUnreachableAtItsPathIsRefused) {
  // Its path leads to another mount: listed again after a fresh read, it is
  // reported rather than retried.
  FakeMounts gone;
  gone.add(kPart1, "/media/a");
  gone.refuse["/media/a"] = kMountMoved;
  const auto result = unmount_disk_file_systems(kDiskDevices, gone);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code(), codes::kUnmountFailed);
  EXPECT_EQ(result.error().message(),
            "The file system at /media/a on the selected disk cannot be reached at its "
            "mount point.");
  EXPECT_EQ(gone.unmounted.size(), 2u);
}

TEST(UnmountDiskFileSystems, StackedMountsOfTheDiskComeOffTopFirst) {
  FakeMounts mounts;
  mounts.add(kPart1, "/mnt/x");
  mounts.add(kPart2, "/mnt/x");
  ASSERT_TRUE(unmount_disk_file_systems(kDiskDevices, mounts).has_value());
  EXPECT_THAT(mounts.unmounted, ElementsAre("/mnt/x", "/mnt/x"));
  EXPECT_THAT(mounts.table, IsEmpty());
}

TEST(UnmountDiskFileSystems, CoveredByAForeignMountIsRefusedWithoutUnmounting) {
  FakeMounts mounts;
  mounts.add(kPart1, "/mnt/x");
  mounts.add(kOther, "/mnt/x");
  const auto result = unmount_disk_file_systems(kDiskDevices, mounts);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code(), codes::kUnmountFailed);
  EXPECT_EQ(result.error().message(),
            "A file system of the selected disk at /mnt/x is covered by another mount.");
  EXPECT_THAT(mounts.unmounted, IsEmpty());
}

TEST(UnmountDiskFileSystems, RefusalIsUnmountFailedWithTheSystemError) {
  FakeMounts mounts;
  mounts.add(kPart1, "/media/a");
  mounts.add(kPart2, "/media/b");
  mounts.refuse["/media/a"] = EBUSY;
  const auto result = unmount_disk_file_systems(kDiskDevices, mounts);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code(), codes::kUnmountFailed);
  EXPECT_EQ(result.error().message(),
            "Could not unmount the file system at /media/a on the selected disk: " +
                os_error_text(EBUSY));
  // /media/b was unmounted first (latest of equal depth) and stays unmounted.
  EXPECT_THAT(mounts.unmounted, ElementsAre("/media/b", "/media/a"));
}

TEST(UnmountDiskFileSystems, FileSystemsThatKeepComingBackAreBounded) {
  FakeMounts mounts;
  mounts.add(kPart1, "/media/a");
  mounts.remount_forever = true;
  const auto rounds = unmount_disk_file_systems(kDiskDevices, mounts, {.max_rounds = 5});
  ASSERT_FALSE(rounds.has_value());
  EXPECT_EQ(rounds.error().code(), codes::kUnmountFailed);
  EXPECT_EQ(rounds.error().message(),
            "File systems of the selected disk kept being mounted again.");
  EXPECT_EQ(mounts.unmounted.size(), 5u);

  FakeMounts slow;
  slow.add(kPart1, "/media/a");
  slow.remount_forever = true;
  const auto timed = unmount_disk_file_systems(
      kDiskDevices, slow, {.max_rounds = 1000, .time_limit = std::chrono::seconds(0)});
  ASSERT_FALSE(timed.has_value());
  EXPECT_EQ(timed.error().code(), codes::kTimeout);
  EXPECT_EQ(timed.error().message(), kDeviceOperationTimeout);
}

TEST(UnmountDiskFileSystems, SomeoneElseUnmountingMeanwhileIsNotAFailure) {
  FakeMounts mounts;
  mounts.add(kPart1, "/media/a");
  mounts.refuse["/media/a"] = EINVAL;
  // The entry stays listed while umount says "not mounted": bounded, then
  // reported.
  const auto result = unmount_disk_file_systems(kDiskDevices, mounts, {.max_rounds = 3});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().code(), codes::kUnmountFailed);
  EXPECT_EQ(mounts.unmounted.size(), 3u);
}

}  // namespace
}  // namespace ravik
