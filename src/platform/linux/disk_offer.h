// Whether a whole disk may be offered for writing at all: the kernel must
// prove it is removable media, and the running system must not depend on it
// (a system file system, an active swap area, a block device built on it).
// The helper refuses such a disk before it unmounts anything; a disk list
// shows the same reason. Stateless; thread-safe.
#ifndef RAVIK_PLATFORM_LINUX_DISK_OFFER_H_
#define RAVIK_PLATFORM_LINUX_DISK_OFFER_H_

#include <sys/types.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "error/helper_error.h"
#include "platform/linux/block_device_description.h"
#include "platform/linux/mount_table.h"
#include "platform/linux/swap_areas.h"
#include "platform/linux/system_paths.h"
#include "platform/linux/target_checks.h"

namespace ravik {

// Mount points whose file system the running system cannot lose.
inline constexpr std::array<std::string_view, 5> kSystemMountPoints = {
    "/", "/boot", "/boot/efi", "/usr", "/var"};

// What the running system has in use, as far as a disk could be part of it.
struct SystemUse {
  std::vector<MountEntry> mounts;
  std::vector<SwapArea> swap_areas;
};

// The mount table and the swap list at `paths`.
Result<SystemUse> read_system_use(const LinuxSystemPaths& paths);

// The device numbers of the disk and of its partitions: what its mounts and
// swap areas are recognised by.
std::vector<dev_t> disk_device_numbers(const BlockDeviceDescription& description);

// DEVICE_NOT_REMOVABLE, naming the first reason found: "The selected disk
// holds a system file system ({mount point})."; "The selected disk holds an
// active swap area ({file})."; "The selected disk is in use by {holder}." when
// a block device is built on it or on one of its partitions.
Result<void> check_not_in_system_use(const BlockDeviceDescription& description,
                                     const SystemUse& use);

// Removability (is_acceptable_removable_disk, with kNotRemovableMessage),
// then check_not_in_system_use.
Result<void> check_disk_offered(const BlockDeviceDescription& description,
                                const SystemUse& use, RemovabilityPolicy policy);

struct DiskOffer {
  bool offered = false;
  std::string reason;  // why not, as the helper would refuse it; empty if offered
};

// Describes the disk `kernel_name` and reads the system's use at `paths`; a
// description or reading failure is a reason too.
DiskOffer assess_disk_offer(std::string_view kernel_name, const LinuxSystemPaths& paths,
                            RemovabilityPolicy policy);

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_DISK_OFFER_H_
