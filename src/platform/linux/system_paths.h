// LinuxSystemPaths: where the Linux backend reads the kernel's view of block
// devices, mounts and swap areas. Production uses the real locations; unit tests point
// them at a fake tree so that sysfs and mountinfo parsing run without
// hardware. A plain value; thread-compatible.
#ifndef RAVIK_PLATFORM_LINUX_SYSTEM_PATHS_H_
#define RAVIK_PLATFORM_LINUX_SYSTEM_PATHS_H_

#include <string>

namespace ravik {

struct LinuxSystemPaths {
  // The sysfs mount point; block devices are read below "{sysfs_root}/class/block".
  std::string sysfs_root = "/sys";
  // The mount table of the helper's own mount namespace.
  std::string mountinfo_path = "/proc/self/mountinfo";
  // The kernel's list of active swap areas.
  std::string swaps_path = "/proc/swaps";
};

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_SYSTEM_PATHS_H_
