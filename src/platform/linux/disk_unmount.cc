#include "platform/linux/disk_unmount.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "io/unique_fd.h"
#include "platform/linux/disk_offer.h"
#include "platform/linux/unmount_service.h"

namespace ravik {
namespace {

std::size_t depth_of(const std::string& mount_point) {
  if (mount_point == "/") return 0;
  return static_cast<std::size_t>(
      std::count(mount_point.begin(), mount_point.end(), '/'));
}

}  // namespace

Result<std::vector<MountEntry>> SystemMountOperations::mounts() {
  return read_mountinfo(mountinfo_path_);
}

int SystemMountOperations::unmount(const MountEntry& entry) {
  // A session confined to file-system layers may not unmount itself.
  if (const std::optional<int> answer = unmount_through_service(entry)) return *answer;
  const std::string& point = entry.mount_point;
  const auto slash = point.rfind('/');
  // The root is never unmounted here (a disk holding it is refused earlier).
  if (slash == std::string::npos || slash + 1 == point.size()) return EBUSY;
  const std::string parent = slash == 0 ? "/" : point.substr(0, slash);
  const std::string name = point.substr(slash + 1);
  // Holding the parent directory keeps renames and symbolic links above the
  // mount point from redirecting what follows. (Holding the mount itself
  // would make it busy.)
  UniqueFd pinned(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!pinned) return errno == ENOENT || errno == ENOTDIR ? kMountMoved : errno;
  struct statx status {};
  if (::statx(pinned.get(), name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &status) !=
      0) {
    return errno == ENOENT ? kMountMoved : errno;
  }
  if ((status.stx_mask & STATX_MNT_ID) == 0 ||
      status.stx_mnt_id != static_cast<std::uint64_t>(entry.mount_id)) {
    return kMountMoved;
  }
  const std::string held_path =
      "/proc/self/fd/" + std::to_string(pinned.get()) + "/" + name;
  return ::umount2(held_path.c_str(), UMOUNT_NOFOLLOW) == 0 ? 0 : errno;
}

Result<void> unmount_disk_file_systems(const std::vector<dev_t>& disk_devices,
                                       MountOperations& operations,
                                       UnmountLimits limits) {
  const auto on_disk = [&](const MountEntry& entry) {
    return std::ranges::find(disk_devices, entry.device_number) != disk_devices.end();
  };
  int moved_mount_id = -1;  // the last mount not reachable at its mount point
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0;; ++round) {
    RAVIK_ASSIGN_OR_RETURN(const std::vector<MountEntry> table, operations.mounts());
    std::optional<std::size_t> chosen;
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (!on_disk(table[i])) continue;
      if (!chosen ||
          depth_of(table[i].mount_point) >= depth_of(table[*chosen].mount_point)) {
        chosen = i;
      }
    }
    if (!chosen) return {};
    if (round >= limits.max_rounds) {
      return fail(codes::kUnmountFailed,
                  "File systems of the selected disk kept being mounted again.");
    }
    if (std::chrono::steady_clock::now() - start >= limits.time_limit) {
      return fail(codes::kTimeout, std::string(kDeviceOperationTimeout));
    }
    const MountEntry& entry = table[*chosen];
    // A later mount on the same point covers this one; unmounting the path
    // would remove that other file system instead.
    for (std::size_t i = *chosen + 1; i < table.size(); ++i) {
      if (table[i].mount_point == entry.mount_point) {
        return fail(codes::kUnmountFailed, "A file system of the selected disk at " +
                                               entry.mount_point +
                                               " is covered by another mount.");
      }
    }
    const int error = operations.unmount(entry);
    if (error == kMountMoved) {
      // Unmounted or moved by someone else meanwhile: the next table shows
      // which. Listed again and still not reachable means its path leads
      // elsewhere for good.
      if (moved_mount_id == entry.mount_id) {
        return fail(codes::kUnmountFailed, "The file system at " + entry.mount_point +
                                               " on the selected disk cannot be "
                                               "reached at its mount point.");
      }
      moved_mount_id = entry.mount_id;
      continue;
    }
    moved_mount_id = -1;
    // EINVAL and ENOENT: someone else unmounted it meanwhile; the next round
    // re-reads the table and sees.
    if (error != 0 && error != EINVAL && error != ENOENT) {
      return fail(HelperError::io(codes::kUnmountFailed,
                                  "Could not unmount the file system at " +
                                      entry.mount_point + " on the selected disk",
                                  error));
    }
  }
}

Result<void> unmount_disk(const BlockDeviceDescription& description,
                          const LinuxSystemPaths& paths) {
  RAVIK_ASSIGN_OR_RETURN(const SystemUse use, read_system_use(paths));
  RAVIK_RETURN_IF_ERROR(check_not_in_system_use(description, use));
  SystemMountOperations mounts(paths.mountinfo_path);
  return unmount_disk_file_systems(disk_device_numbers(description), mounts);
}

}  // namespace ravik
