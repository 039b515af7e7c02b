// The checks that tie a block device to the disk the user selected: the form
// of the request's names, the sysfs description before and during the hold,
// and the geometry the kernel reports on the held descriptor. Each check
// compares values only; pure functions, thread-safe.
#ifndef RAVIK_PLATFORM_LINUX_TARGET_CHECKS_H_
#define RAVIK_PLATFORM_LINUX_TARGET_CHECKS_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "platform/linux/block_device_description.h"
#include "platform/selected_disk.h"

namespace ravik {

// The facts fixed when the hold was confirmed, beyond the selection.
struct HeldDiskFacts {
  DiskSelection selection;  // topology_path and model always present
  std::uint64_t logical_block_size = 0;
  dev_t device_number = 0;
  std::uint64_t disk_sequence = 0;
};

// Whether loop devices count as removable disks: true only in the testing
// helper, so that the whole block-device path runs against loop devices.
struct RemovabilityPolicy {
  bool treat_loop_devices_as_removable = false;
};

inline constexpr std::string_view kTargetFormMessage =
    "Linux targets must be a whole-disk /dev/NAME block device matching deviceId NAME.";
inline constexpr std::string_view kNotRemovableMessage =
    "sysfs could not prove the target is a writable removable whole device.";

// `device_id` must be a plain kernel name and `device_path` exactly "/dev/"
// followed by it; else DEVICE_NOT_REMOVABLE kTargetFormMessage.
Result<void> check_target_form(std::string_view device_id, std::string_view device_path);

// Whole, writable, and removable or ejectable (or a loop device under the
// testing policy); on the MMC bus only an SD card.
bool is_acceptable_removable_disk(const BlockDeviceDescription& description,
                                  RemovabilityPolicy policy);

// DEVICE_NOT_REMOVABLE, in this order: not an acceptable removable whole disk;
// name or size differ ("sysfs identity or capacity changed after selection.");
// topology given and different; model given and different after white-space
// normalisation.
Result<void> validate_description(const DiskSelection& target,
                                  const BlockDeviceDescription& description,
                                  RemovabilityPolicy policy);

// DEVICE_DISCONNECTED "sysfs identity changed while the target was held." when
// anything confirmed at open differs from a fresh description.
Result<void> validate_fresh_description(const HeldDiskFacts& held,
                                        const BlockDeviceDescription& description,
                                        RemovabilityPolicy policy);

struct KernelGeometry {
  std::uint64_t logical_block_size = 0;  // BLKSSZGET
  std::uint64_t size_bytes = 0;          // BLKGETSIZE64
};

// DEVICE_NOT_REMOVABLE "The held raw target geometry does not match the
// confirmed device." unless the kernel's block size is a power of two from
// 512 to 1,048,576 equal to sysfs's, and its size is a non-zero whole number
// of blocks equal to both `target_size_bytes` and the sysfs size. Returns the
// capacity.
Result<std::uint64_t> validate_held_geometry(std::uint64_t target_size_bytes,
                                             const BlockDeviceDescription& description,
                                             KernelGeometry geometry);

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_TARGET_CHECKS_H_
