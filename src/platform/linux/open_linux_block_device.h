// open_linux_block_device: takes exclusive hold of the removable whole disk a
// request names and returns it as a HeldDeviceIo. Every step re-proves that
// the disk is the one the user selected: the sysfs description before and
// after the claim, the descriptor's device number and disk sequence, the
// kernel's geometry and the request's own expectations. Not thread-safe; the
// returned device is used by the calling thread.
#ifndef RAVIK_PLATFORM_LINUX_OPEN_LINUX_BLOCK_DEVICE_H_
#define RAVIK_PLATFORM_LINUX_OPEN_LINUX_BLOCK_DEVICE_H_

#include <memory>

#include "error/helper_error.h"
#include "platform/held_device_io.h"
#include "platform/linux/system_paths.h"
#include "platform/linux/target_checks.h"

namespace ravik {

struct LinuxOpenOptions {
  RemovabilityPolicy policy;
  LinuxSystemPaths paths;
};

// On success the disk is claimed, nothing of it is mounted and the device is
// verified once. Failures (nothing stays held): DEVICE_NOT_REMOVABLE for a
// target that is not the selected removable whole disk, cannot be claimed or
// has inconsistent geometry; DEVICE_DISCONNECTED when it vanished;
// UNMOUNT_FAILED and TIMEOUT from unmounting.
Result<std::unique_ptr<HeldDeviceIo>> open_linux_block_device(
    const SelectedDisk& target, const LinuxOpenOptions& options);

// The Linux whole-disk backend as a DeviceOpener: the system's paths and the
// executable's policy.
Result<std::unique_ptr<HeldDeviceIo>> open_block_device(const SelectedDisk& target,
                                                        const DeviceOpenPolicy& policy);

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_OPEN_LINUX_BLOCK_DEVICE_H_
