// MountOptions: how a volume is mounted. Values; thread-compatible.
#ifndef RAVIK_FATFS_MOUNT_OPTIONS_H_
#define RAVIK_FATFS_MOUNT_OPTIONS_H_

#include "fatfs/clock.h"

namespace fatfs {

struct MountOptions {
  // Reading a file leaves its entry untouched unless this is set, so that a
  // read-only session never writes to the medium.
  bool update_access_date = false;
  // The time stamped on created and modified files; the machine's local
  // time when null. Not owned; must outlive the file system.
  const Clock* clock = nullptr;
};

}  // namespace fatfs

#endif  // RAVIK_FATFS_MOUNT_OPTIONS_H_
