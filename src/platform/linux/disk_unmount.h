// Unmounting every file system that lives on a disk or its partitions, so that
// the disk can be claimed exclusively and nothing writes to it behind the
// helper's back. The system calls go through MountOperations so that the
// ordering and failure rules are tested on a fake mount table. Not
// thread-safe; used by the thread that holds the disk.
#ifndef RAVIK_PLATFORM_LINUX_DISK_UNMOUNT_H_
#define RAVIK_PLATFORM_LINUX_DISK_UNMOUNT_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "error/helper_error.h"
#include "platform/linux/mount_table.h"

namespace ravik {

class MountOperations {
 public:
  virtual ~MountOperations() = default;
  // The current mount table.
  virtual Result<std::vector<MountEntry>> mounts() = 0;
  // The device a mount source names when it is a block device node under
  // /dev (file systems such as btrfs report an anonymous device number in
  // mountinfo, so the source is the second way to recognise the disk).
  virtual std::optional<dev_t> source_device(const std::string& source) = 0;
  // Unmounts the file system at `mount_point`; returns 0 or the errno.
  virtual int unmount(const std::string& mount_point) = 0;
};

// The real system: mountinfo at `mountinfo_path`, stat(2), umount2(2) with
// UMOUNT_NOFOLLOW so that a mount point replaced by a symbolic link never
// redirects the unmount.
class SystemMountOperations final : public MountOperations {
 public:
  explicit SystemMountOperations(std::string mountinfo_path)
      : mountinfo_path_(std::move(mountinfo_path)) {}
  Result<std::vector<MountEntry>> mounts() override;
  std::optional<dev_t> source_device(const std::string& source) override;
  int unmount(const std::string& mount_point) override;

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
// first where mount points are equally deep), every file system whose device
// is one of `disk_devices`, re-reading the table after each unmount until
// none is left. Failures: UNMOUNT_FAILED "Could not unmount the file system at
// {mount point} on the selected disk" with the system error when the kernel
// refuses; UNMOUNT_FAILED when a file system of the disk is hidden under a
// mount of something else (unmounting the path would take down the wrong
// file system) or keeps coming back; TIMEOUT after the time limit. On failure
// the file systems unmounted so far stay unmounted.
Result<void> unmount_disk_file_systems(const std::vector<dev_t>& disk_devices,
                                       MountOperations& operations,
                                       UnmountLimits limits = {});

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_DISK_UNMOUNT_H_
