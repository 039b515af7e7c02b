// The active swap areas of the system, from the kernel's swap list read with
// libmount, each tied to the block device it lives on. Thread-safe.
#ifndef RAVIK_PLATFORM_LINUX_SWAP_AREAS_H_
#define RAVIK_PLATFORM_LINUX_SWAP_AREAS_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "error/helper_error.h"

namespace ravik {

struct SwapArea {
  std::string file_name;  // as the kernel lists it
  // The swap partition itself, or the file system holding the swap file.
  dev_t device_number = 0;
};

// Reads the swap list at `path` (a missing list means a kernel without swap:
// none). Areas whose file no longer resolves are left out: a deleted swap
// file's file system keeps it busy, so it cannot be unmounted anyway.
// DEVICE_NOT_REMOVABLE "Could not read the list of active swap areas" with the
// system error when the list cannot be read, because a disk cannot be shown
// free of swap without it.
Result<std::vector<SwapArea>> read_swap_areas(const std::string& path);

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_SWAP_AREAS_H_
