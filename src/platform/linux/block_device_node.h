// System calls on a block device node: the exclusive claim (an O_EXCL open),
// the kernel's geometry and disk sequence number of an open descriptor, and
// the check that a path or descriptor is the expected device. Stateless;
// thread-safe.
#ifndef RAVIK_PLATFORM_LINUX_BLOCK_DEVICE_NODE_H_
#define RAVIK_PLATFORM_LINUX_BLOCK_DEVICE_NODE_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "error/helper_error.h"
#include "io/unique_fd.h"
#include "platform/linux/target_checks.h"

namespace ravik {

// Opens `path` read-write (or, for a hold that only reads, read-only),
// exclusively and for direct I/O. For a block device
// O_EXCL is the kernel's exclusive claim: it fails with EBUSY while a file
// system is mounted from the disk or one of its partitions, or another
// process holds the disk exclusively, and while it is held the kernel refuses
// every mount of the disk and its partitions. O_DIRECT makes writes reach the
// device instead of the page cache, so that progress is honest and reads see
// the medium. DEVICE_NOT_REMOVABLE "Could not exclusively open the selected
// disk" with the system error on failure.
Result<UniqueFd> open_disk_exclusively(const std::string& path, bool read_only);

// BLKSSZGET and BLKGETSIZE64. DEVICE_NOT_REMOVABLE "Could not read raw target
// geometry from the held descriptor" with the system error when a request
// fails or reports 0.
Result<KernelGeometry> read_kernel_geometry(int fd);

// BLKGETDISKSEQ; nothing when the kernel cannot tell.
std::optional<std::uint64_t> read_disk_sequence(int fd);

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_BLOCK_DEVICE_NODE_H_
