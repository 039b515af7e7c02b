// describe_block_device: the kernel's description of one block device, read
// from sysfs ("{sysfs_root}/class/block/NAME"). It is one of the independent
// sources from which the held disk's identity is proved, and the source from
// which the client describes a target before it asks the helper to open it.
// Stateless; thread-safe.
#ifndef RAVIK_PLATFORM_LINUX_BLOCK_DEVICE_DESCRIPTION_H_
#define RAVIK_PLATFORM_LINUX_BLOCK_DEVICE_DESCRIPTION_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/helper_error.h"
#include "platform/linux/system_paths.h"

namespace ravik {

// How a disk is detached from the system once released.
enum class BlockTransport {
  kLoop,   // a loop device: detached from its backing file
  kScsi,   // SCSI disk, USB mass storage included: stopped, ejected, deleted
  kMmc,    // an MMC/SD card on a native host: its block driver is unbound
  kOther,  // nothing safe to do; release is refused
};

struct BlockDeviceDescription {
  std::string kernel_name;
  std::uint64_t size_bytes = 0;
  std::uint64_t logical_block_size = 0;
  dev_t device_number = 0;
  // The kernel's per-disk sequence number: it changes whenever the medium
  // behind the name changes (a loop device re-attached, a card swapped).
  std::uint64_t disk_sequence = 0;
  // The device model with white space normalised, or a fixed text for devices
  // that have none.
  std::string model;
  // The disk's place in the hardware tree, "/sys/devices/...", independent of
  // where sysfs was read from: the resolved path of its "device" link (the
  // SCSI unit, the MMC card), or of the block device itself for virtual
  // devices, which have none.
  std::string bus_path;
  bool whole = false;      // not a partition
  bool writable = false;   // "ro" is 0
  bool removable = false;  // "removable" is 1
  bool ejectable = false;  // on a USB or MMC bus
  BlockTransport transport = BlockTransport::kOther;
  // The device below the disk ("device" link) by its sysfs name, for the MMC
  // unbind; empty when there is none.
  std::string parent_device_name;
  // For a disk on the MMC bus, the kind of card as its "type" attribute names
  // it ("SD", "MMC" for an eMMC, "SDIO"; empty when the card does not say);
  // absent for disks on any other bus.
  std::optional<std::string> mmc_card_type;
  // Device numbers of the disk's partitions as the kernel knows them now.
  std::vector<dev_t> partition_device_numbers;
  // The block devices built on the disk or one of its partitions (device
  // mapper, md, LVM), by kernel name, from their "holders" directories.
  std::vector<std::string> holders;
};

// Texts used in place of a model for devices that report none.
inline constexpr std::string_view kLoopDeviceModel = "Linux loop device";
inline constexpr std::string_view kVirtualDeviceModel = "Linux virtual block device";
inline constexpr std::string_view kUnnamedDeviceModel = "Unnamed block device";

// True for names the kernel gives block devices and that are safe as one path
// component: ASCII letters, digits, '-', '_' and '.', not starting with '.',
// at most 255 bytes.
bool is_plain_kernel_name(std::string_view name);

// Reads the description of `kernel_name`. Failures:
// DEVICE_DISCONNECTED "sysfs could not resolve the selected whole disk." when
// the kernel has no such block device (or the name is not a plain kernel
// name), "sysfs could not describe the selected disk." when it vanishes or an
// attribute cannot be read; DEVICE_NOT_REMOVABLE with the reader messages when
// an attribute is missing, too long, not UTF-8 or not a valid number.
Result<BlockDeviceDescription> describe_block_device(std::string_view kernel_name,
                                                     const LinuxSystemPaths& paths);

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_BLOCK_DEVICE_DESCRIPTION_H_
