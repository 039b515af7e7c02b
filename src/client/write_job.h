// The client's job for one disk: write an image to a target through the
// helper (or recover the target), verify it, end the session, and say
// whether all of it succeeded.
//
// Not thread-safe: one job per process. It runs the helper as a child and an
// event thread (EventPump) of its own for the duration of the job.
#ifndef RAVIK_CLIENT_WRITE_JOB_H_
#define RAVIK_CLIENT_WRITE_JOB_H_

#include <cstdint>
#include <string>

#include "client/client_options.h"

namespace ravik::client {

struct JobStreams {
  int out_fd;  // summary, or the helper's events with --json
  int err_fd;  // progress and failures
  bool err_is_terminal;
  bool quiet = false;  // no progress, only failures and the result

  int progress_fd() const { return quiet ? -1 : err_fd; }
};

// Returns the process exit status: 0 when the image was written, verified
// (unless --no-verify) and the session ended as asked; 1 otherwise, after a
// line that names the failure (with the helper's code and message when the
// helper reported it).
int run_write_job(const ClientOptions& options, const std::string& client_path,
                  const JobStreams& streams);

// What a failed write left on `device`: how much of the image reached it,
// and that it does not hold a usable image; or, when the whole image was
// written and only its verification did not finish, that.
std::string disk_state_text(const std::string& device, std::uint64_t bytes_written,
                            bool written_unverified = false);

}  // namespace ravik::client

#endif  // RAVIK_CLIENT_WRITE_JOB_H_
