// The mount table of the helper's mount namespace, read from mountinfo with
// libmount (the parser findmnt and umount use). The unmount logic works on
// these entries so that it can be tested on a fake table. Thread-safe.
#ifndef RAVIK_PLATFORM_LINUX_MOUNT_TABLE_H_
#define RAVIK_PLATFORM_LINUX_MOUNT_TABLE_H_

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "error/helper_error.h"

namespace ravik {

struct MountEntry {
  // The kernel's ID of the mount: it names this one mount for as long as it
  // exists, whatever else is mounted at the same path later.
  int mount_id = 0;
  dev_t device_number = 0;  // the "major:minor" field
  std::string mount_point;  // unescaped
};

// Entries in table order (mount order). A line that is not a mountinfo line
// fails with UNMOUNT_FAILED "The mount table could not be parsed.", because
// unmounting from a table only partly understood could miss a file system.
Result<std::vector<MountEntry>> parse_mountinfo(std::string_view text);

// Reads and parses the file at `path`; UNMOUNT_FAILED "Could not read the
// mount table" with the system error when it cannot be opened.
Result<std::vector<MountEntry>> read_mountinfo(const std::string& path);

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_MOUNT_TABLE_H_
