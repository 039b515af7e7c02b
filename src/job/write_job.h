// The client's job for one disk: write an image to a target through the
// helper (or recover the target), verify it, end the session, and say
// whether all of it succeeded.
//
// Not thread-safe: one job per process. It runs the helper as a child and an
// event thread (EventPump) of its own for the duration of the job.
#ifndef RAVIK_JOB_WRITE_JOB_H_
#define RAVIK_JOB_WRITE_JOB_H_

#include <cstdint>
#include <string>

#include "job/helper_session.h"
#include "job/job_events.h"
#include "job/job_options.h"

namespace ravik::job {

// Returns the process exit status: 0 when the image was written, verified
// (unless --no-verify) and the session ended as asked; 1 otherwise, after a
// line that names the failure (with the helper's code and message when the
// helper reported it).
int run_write_job(const JobOptions& options, const std::string& client_path,
                  JobObserver& observer);

// What a failed write left on `device`: how much of the image reached it,
// and that it does not hold a usable image; or, when the whole image was
// written and only its verification did not finish, that.
std::string disk_state_text(const std::string& device, std::uint64_t bytes_written,
                            bool written_unverified = false);

// The outcome of the session on `device` as a front end shows it.
DiskOutcome disk_outcome_of(const JobOptions& options, const std::string& device,
                            const SessionOutcome& outcome,
                            bool written_unverified = false);

}  // namespace ravik::job

#endif  // RAVIK_JOB_WRITE_JOB_H_
