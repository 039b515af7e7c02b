// Unmounting every file system that lives on a disk or its partitions, so that
// the disk can be claimed exclusively and nothing writes to it behind the
// helper's back. The system calls go through MountOperations so that the
// ordering and failure rules are tested on a fake mount table. Not
// thread-safe; used by the thread that holds the disk.
#ifndef RAVIK_PLATFORM_LINUX_DISK_UNMOUNT_H_
#define RAVIK_PLATFORM_LINUX_DISK_UNMOUNT_H_

#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "error/helper_error.h"
#include "platform/linux/block_device_description.h"
#include "platform/linux/mount_table.h"
#include "platform/linux/system_paths.h"

namespace ravik {

class MountOperations {
 public:
  virtual ~MountOperations() = default;
  // The current mount table.
  virtual Result<std::vector<MountEntry>> mounts() = 0;
  // Unmounts the mount `entry` describes through its mount point, provided
  // the path still leads to that very mount (its ID, read again right before
  // the unmount). Returns 0, kMountMoved when the path now leads elsewhere,
  // or the errno of the refusal.
  virtual int unmount(const MountEntry& entry) = 0;
};

// What MountOperations::unmount returns when the mount point no longer leads
// to the mount that the table listed.
inline constexpr int kMountMoved = ESTALE;

// The real system: mountinfo at `mountinfo_path`; the mount point's parent
// directory is opened and held, the mount ID at the mount point (final
// symbolic link not followed) compared with statx(2) right before umount2(2)
// with UMOUNT_NOFOLLOW goes through the held directory, so that a rename or
// link above the mount point cannot redirect the unmount.
class SystemMountOperations final : public MountOperations {
 public:
  explicit SystemMountOperations(std::string mountinfo_path)
      : mountinfo_path_(std::move(mountinfo_path)) {}
  Result<std::vector<MountEntry>> mounts() override;
  int unmount(const MountEntry& entry) override;

 private:
  std::string mountinfo_path_;
};

struct UnmountLimits {
  int max_rounds = 64;
  std::chrono::steady_clock::duration time_limit = std::chrono::seconds(30);
};

inline constexpr std::string_view kDeviceOperationTimeout =
    "The kernel did not complete the device operation within 30 seconds.";

// Unmounts, one at a time and deepest mount point first (the latest mount
// first where mount points are equally deep), every file system whose
// mountinfo device number is one of `disk_devices` (never by the source text,
// which any mount may choose), re-reading the table after each unmount until
// none is left. Failures: UNMOUNT_FAILED "Could not unmount the file system at
// {mount point} on the selected disk" with the system error when the kernel
// refuses; UNMOUNT_FAILED when a file system of the disk is hidden under a
// mount of something else (unmounting the path would take down the wrong
// file system), cannot be reached at its mount point twice in a row, or keeps
// coming back; TIMEOUT after the time limit. On failure the file systems
// unmounted so far stay unmounted.
Result<void> unmount_disk_file_systems(const std::vector<dev_t>& disk_devices,
                                       MountOperations& operations,
                                       UnmountLimits limits = {});

// Refuses a disk the running system depends on (check_not_in_system_use), then
// unmounts the file systems of the disk and its partitions.
Result<void> unmount_disk(const BlockDeviceDescription& description,
                          const LinuxSystemPaths& paths);

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_DISK_UNMOUNT_H_
