// The client's write of one image to several disks at once: one helper
// session (one helper process) per disk, the image read once and fanned out
// to every session (ImageFanOut), so a disk that fails, is pulled or stalls
// does not stop the others. Progress shows one row per disk; a table at the
// end gives each disk's result, bytes, rate and verification.
//
// Not thread-safe: one job per process. It runs a thread per session, each
// with its helper's event thread, and the fan-out's reading thread; all are
// joined before it returns.
#ifndef RAVIK_CLIENT_MULTI_WRITE_JOB_H_
#define RAVIK_CLIENT_MULTI_WRITE_JOB_H_

#include <string>

#include "client/client_options.h"
#include "client/write_job.h"

namespace ravik::client {

// Returns the process exit status: 0 only when every disk was written,
// verified (unless --no-verify) and its session ended as asked; 1 otherwise,
// with a line naming each failed disk and why. Nothing starts when any disk
// is refused beforehand (not a disk, named twice, smaller than the image).
int run_multi_write_job(const ClientOptions& options, const std::string& client_path,
                        const JobStreams& streams);

}  // namespace ravik::client

#endif  // RAVIK_CLIENT_MULTI_WRITE_JOB_H_
