#include "platform/linux/disk_unmount.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

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

std::optional<dev_t> SystemMountOperations::source_device(const std::string& source) {
  if (!source.starts_with("/dev/")) return std::nullopt;
  struct stat status {};
  if (::stat(source.c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) {
    return std::nullopt;
  }
  return status.st_rdev;
}

int SystemMountOperations::unmount(const std::string& mount_point) {
  return ::umount2(mount_point.c_str(), UMOUNT_NOFOLLOW) == 0 ? 0 : errno;
}

Result<void> unmount_disk_file_systems(const std::vector<dev_t>& disk_devices,
                                       MountOperations& operations,
                                       UnmountLimits limits) {
  const auto on_disk = [&](const MountEntry& entry) {
    if (std::ranges::find(disk_devices, entry.device_number) != disk_devices.end()) {
      return true;
    }
    const auto source = operations.source_device(entry.source);
    return source && std::ranges::find(disk_devices, *source) != disk_devices.end();
  };
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
    const int error = operations.unmount(entry.mount_point);
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

}  // namespace ravik
