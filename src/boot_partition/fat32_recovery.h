// FAT32 recovery: the held disk rebuilt as a plain removable medium, one MBR
// partition of type FAT32 (LBA) from 1 MiB to the end of the disk, formatted
// with the requested label. The table counts in the disk's logical blocks
// and the volume's sectors are those blocks, so a 4096-byte-sector disk gets
// its partition at LBA 256 and a FAT with 4096-byte sectors. Stale tables at
// both ends are wiped first, and the result is read back through the same
// locator the boot session uses. Session thread only; no cancellation points.
#ifndef RAVIK_BOOT_PARTITION_FAT32_RECOVERY_H_
#define RAVIK_BOOT_PARTITION_FAT32_RECOVERY_H_

#include <string_view>

#include "error/helper_error.h"
#include "platform/held_device_io.h"
#include "transaction/held_transaction.h"

namespace ravik {

// Validates the label, ends any boot session, re-proves identity, rebuilds
// the disk, makes it durable and marks the media layout ready.
Result<void> recover_fat32(HeldTransaction& transaction, std::string_view volume_label);

// Rebuilds the disk. Disks on which no FAT32 volume with the disk's block
// as its sector can be laid out (DEVICE_TOO_SMALL: with 4096-byte blocks
// that takes about 258 MiB), whose partition exceeds the MBR's 32-bit
// sector count or FAT32's cluster numbers, or whose logical block is not
// 512 to 4096 bytes (TOOL_MISSING) are refused before anything is written;
// a failure after that may leave the disk partly rebuilt.
Result<void> reformat_fat32(HeldDeviceIo& device, std::string_view volume_label);

}  // namespace ravik

#endif  // RAVIK_BOOT_PARTITION_FAT32_RECOVERY_H_
