// The client's backup: a whole disk, held read-only by the helper, kept as
// an image file (compressed as its name asks) with its sha256sum line
// beside it.
//
// Not thread-safe: one job per process; it runs the helper as a child.
#ifndef RAVIK_JOB_BACKUP_JOB_H_
#define RAVIK_JOB_BACKUP_JOB_H_

#include <string>

#include "job/job_options.h"
#include "job/write_job.h"

namespace ravik::job {

// Returns the exit status: 0 when the whole disk was read, the image file
// and its checksum file are in place and the session ended as asked; 1
// otherwise, after a line naming the failure (no file is then left under
// the image's name).
int run_backup_job(const JobOptions& options, const std::string& client_path,
                   JobObserver& observer);

}  // namespace ravik::job

#endif  // RAVIK_JOB_BACKUP_JOB_H_
