// The client's one job: write an image to a target through the helper,
// verify it, end the session, and say whether all of it succeeded.
//
// Not thread-safe: one job per process. It runs the helper as a child and an
// event thread (EventPump) of its own for the duration of the job.
#ifndef RAVIK_CLIENT_WRITE_JOB_H_
#define RAVIK_CLIENT_WRITE_JOB_H_

#include <string>

#include "client/client_options.h"

namespace ravik::client {

struct JobStreams {
  int out_fd;  // summary, or the helper's events with --json
  int err_fd;  // progress and failures
  bool err_is_terminal;
};

// The helper run when --helper is not given: the production helper of the
// installation `client_path` belongs to for block devices, the testing helper
// beside `client_path` (build trees only) for regular files.
std::string default_helper_path(const std::string& client_path, bool regular_file_target);

// Returns the process exit status: 0 when the image was written, verified
// (unless --no-verify) and the session ended as asked; 1 otherwise, after a
// line that names the failure (with the helper's code and message when the
// helper reported it).
int run_write_job(const ClientOptions& options, const std::string& client_path,
                  const JobStreams& streams);

}  // namespace ravik::client

#endif  // RAVIK_CLIENT_WRITE_JOB_H_
