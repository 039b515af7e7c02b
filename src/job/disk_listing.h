// The list command: the whole disks this machine has, each with whether the
// helper would accept it for writing and, if not, why; read from the same
// sysfs description and system use the helper proves a disk's identity and
// refuses a disk with.
//
// Reads the file system only; thread-compatible.
#ifndef RAVIK_JOB_DISK_LISTING_H_
#define RAVIK_JOB_DISK_LISTING_H_

#include <cstdint>
#include <string>
#include <vector>

#include "error/helper_error.h"
#include "job/job_options.h"
#include "job/write_job.h"
#include "platform/linux/system_paths.h"
#include "platform/linux/target_checks.h"

namespace ravik::job {

struct ListedDisk {
  std::string device_path;  // "/dev/NAME"
  std::string model;
  std::uint64_t size_bytes = 0;
  std::string transport;             // usb, sd, emmc, mmc, scsi, loop or other
  std::vector<std::string> mounted;  // mount points of the disk and its partitions
  bool offered = false;
  std::string reason;  // why it is not offered; empty when it is
};

// Every whole disk below "{sysfs_root}/class/block", in name order.
Result<std::vector<ListedDisk>> list_disks(const LinuxSystemPaths& paths,
                                           RemovabilityPolicy policy);

// The whole disk `kernel_name` as list_disks() shows it.
Result<ListedDisk> list_disk(const std::string& kernel_name,
                             const LinuxSystemPaths& paths, RemovabilityPolicy policy);

// The text the list command prints: a table of the offered disks under a
// header line (every disk with `all`, with its reason), or one JSON object
// per line with `json`. Loop devices with nothing attached are left out.
std::string format_disk_list(const std::vector<ListedDisk>& disks, bool all, bool json);

// Lists this machine's disks; 0, or 1 when sysfs or the mount table could not
// be read.
int run_list_disks(const JobOptions& options, JobObserver& observer);

}  // namespace ravik::job

#endif  // RAVIK_JOB_DISK_LISTING_H_
