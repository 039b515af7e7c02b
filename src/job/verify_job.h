// The verify command: proves that a disk (or a file standing in for one)
// begins with an image, by reading both in this process, never through the
// helper. A user who may not read the disk has the command run again as
// root through sudo, as a write would start the helper.
//
// Not thread-safe: one job per process.
#ifndef RAVIK_JOB_VERIFY_JOB_H_
#define RAVIK_JOB_VERIFY_JOB_H_

#include "job/job_options.h"
#include "job/write_job.h"

namespace ravik::job {

// 0 when the target's first bytes hash to the image's digest (or to the
// given --sha256); 1 after a line naming the mismatch or the failure.
// `client_path` is this program, which sudo runs.
int run_verify_job(const JobOptions& options, const std::string& client_path,
                   JobObserver& observer);

}  // namespace ravik::job

#endif  // RAVIK_JOB_VERIFY_JOB_H_
