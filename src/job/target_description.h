// What the client tells the helper about the target it selected: its kind,
// its names and its size, read from the target itself.
//
// Thread-compatible; reads the file system only.
#ifndef RAVIK_JOB_TARGET_DESCRIPTION_H_
#define RAVIK_JOB_TARGET_DESCRIPTION_H_

#include <string>

#include "error/helper_error.h"
#include "job/messages.h"

namespace ravik::job {

struct TargetDescription {
  TargetFields fields;
  // A regular file stands in for a disk; only the testing helper accepts it.
  bool regular_file = false;
  // The disk's logical block size; 512 for a regular file.
  std::uint64_t logical_block_size = 512;
};

// A regular file: its absolute path, its name as device ID and its length.
// A block device: its kernel name, its /dev node, its capacity, and the
// model, serial and bus path that sysfs knows. Anything else is refused.
Result<TargetDescription> describe_target(const std::string& path);

}  // namespace ravik::job

#endif  // RAVIK_JOB_TARGET_DESCRIPTION_H_
