// The client's clone: `write /dev/sdX DISK...` with a disk as the image. The
// source is held read-only by a helper session of its own for the whole
// job; its bytes are hashed once (unless --sha256 gives their digest: every
// write announces it before its first byte), then read once more and fanned
// out to every target at once, as an image file would be. A target that is
// the source, or holds it, is refused before anything starts.
//
// Not thread-safe: one job per process. The source session runs on a thread
// of its own, joined before the job returns.
#ifndef RAVIK_JOB_CLONE_JOB_H_
#define RAVIK_JOB_CLONE_JOB_H_

#include <string>
#include <vector>

#include "job/job_options.h"
#include "job/write_job.h"

namespace ravik::job {

// The whole disk a block device belongs to ("sdb" for "sdb1" and "sdb"),
// read from sysfs under `sys_class_block`; the name itself when sysfs does
// not say.
std::string whole_disk_of(const std::string& name,
                          const std::string& sys_class_block = "/sys/class/block");

// Why a clone from `source` (a kernel name) to `targets` (kernel names)
// cannot be: a target that is the source's disk. Nothing when none is.
std::optional<std::string> clone_refusal(const std::string& source,
                                         const std::vector<std::string>& targets,
                                         const std::string& sys_class_block);

// Returns the exit status, as the write to several disks does.
int run_clone_job(const JobOptions& options, const std::string& client_path,
                  JobObserver& observer);

}  // namespace ravik::job

#endif  // RAVIK_JOB_CLONE_JOB_H_
