// Unmounting for a device session whose file accesses are confined. The
// kernel refuses umount2 to a process inside a file-system layer, so before
// its first layer the session starts a small process that stays outside the
// layers and unmounts on its behalf. That process trusts nothing the session
// sends but a mount ID: it reads the mount table and sysfs itself and
// unmounts only a file system on a partition (or the whole) of an acceptable
// removable disk that the running system does not depend on, so a hijacked
// session gains no more than it could do unconfined to such a disk.
//
// The process dies with the session (PR_SET_PDEATHSIG, checked against a
// parent that ended before it was set), ends when its socket closes, and is
// reaped when its owner goes. It keeps only CAP_SYS_ADMIN and the device
// session's system-call filter.
#ifndef RAVIK_PLATFORM_LINUX_UNMOUNT_SERVICE_H_
#define RAVIK_PLATFORM_LINUX_UNMOUNT_SERVICE_H_

#include <cstdint>
#include <memory>
#include <optional>

#include "platform/held_device_io.h"
#include "platform/linux/disk_unmount.h"
#include "platform/linux/system_paths.h"
#include "platform/linux/target_checks.h"

namespace ravik {

// Starts the unmounting process; call from the main thread while it is the
// only thread, before the process is confined. While the returned owner
// lives, SystemMountOperations::unmount in this process goes through it;
// destroying the owner ends and reaps the process. Null when it could not be
// started: unmounts then stay in this process.
std::shared_ptr<void> start_unmount_service(const DeviceOpenPolicy& policy);

// The unmounting process's own check and unmount of the mount `mount_id`:
// EINVAL when the table at `paths` lists no such mount (unmounted meanwhile),
// EPERM when it is not a file system of an acceptable removable disk
// (is_acceptable_removable_disk, under `policy`) that the system does not use
// (check_not_in_system_use); else what `operations` answers.
int unmount_removable_disk_mount(int mount_id, const LinuxSystemPaths& paths,
                                 RemovabilityPolicy policy, MountOperations& operations);

// Sends the unmount of `entry` to the running unmounting process and returns
// its answer (EIO when it cannot be reached); nothing when none runs.
std::optional<int> unmount_through_service(const MountEntry& entry);

// The socket unmount_through_service talks through: set by the owner that
// start_unmount_service returns, -1 when none runs.
void use_unmount_service(int socket);

// One request on the socket: the mount ID; one answer: the errno (0 on
// success).
struct UnmountRequest {
  std::int32_t mount_id = 0;
};
struct UnmountAnswer {
  std::int32_t error = 0;
};

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_UNMOUNT_SERVICE_H_
