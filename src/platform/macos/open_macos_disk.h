// macos::open: takes exclusive hold of the removable whole disk a request
// names and returns it as a HeldDeviceIo. Every step re-proves that the disk
// is the one the user selected: the Disk Arbitration description before and
// after the claim, the raw node's device number against the description, the
// kernel's geometry and the request's own expectations. Not thread-safe; the
// returned device is used by one thread at a time, while its session is
// served on a dispatch queue of its own.
#ifndef RAVIK_PLATFORM_MACOS_OPEN_MACOS_DISK_H_
#define RAVIK_PLATFORM_MACOS_OPEN_MACOS_DISK_H_

#include <memory>

#include "error/helper_error.h"
#include "platform/held_device_io.h"
#include "platform/macos/mac_system.h"
#include "platform/selected_disk.h"

namespace ravik::macos {

// On success the disk is claimed, none of its volumes is mounted and the
// device is verified once. Failures (nothing stays held): DEVICE_NOT_REMOVABLE
// for a target that is not the selected removable whole disk, cannot be
// claimed or opened, or has inconsistent geometry; DEVICE_DISCONNECTED when
// it cannot be resolved or described; UNMOUNT_FAILED and TIMEOUT.
Result<std::unique_ptr<HeldDeviceIo>> open(const SelectedDisk& target,
                                           std::shared_ptr<MacSystem> system);

}  // namespace ravik::macos

#endif  // RAVIK_PLATFORM_MACOS_OPEN_MACOS_DISK_H_
