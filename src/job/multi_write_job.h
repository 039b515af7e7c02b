// The client's write of one image to several disks at once: one helper
// session (one helper process) per disk, the image read once and fanned out
// to every session (ImageFanOut), so a disk that fails, is pulled or stalls
// does not stop the others. Progress shows one row per disk; a table at the
// end gives each disk's result, bytes, rate and verification.
//
// Not thread-safe: one job per process. It runs a thread per session, each
// with its helper's event thread, and the fan-out's reading thread; all are
// joined before it returns.
#ifndef RAVIK_JOB_MULTI_WRITE_JOB_H_
#define RAVIK_JOB_MULTI_WRITE_JOB_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "job/image_digest.h"
#include "job/image_fan_out.h"
#include "job/image_reader.h"
#include "job/job_options.h"
#include "job/job_preparation.h"
#include "job/write_job.h"

namespace ravik::job {

// Returns the process exit status: 0 only when every disk was written,
// verified (unless --no-verify) and its session ended as asked; 1 otherwise,
// with a line naming each failed disk and why. Nothing starts when any disk
// is refused beforehand (not a disk, named twice, smaller than the image).
int run_multi_write_job(const JobOptions& options, const std::string& client_path,
                        JobObserver& observer);

// The image as the sessions take it: `reader` from its start; `reopen`, when
// the image can be opened again, another reader from its start (a session
// that falls behind a fanned-out image decodes it on its own); `raw` says
// such a reader costs no decoding, so each disk reads on its own.
struct ImageFeed {
  std::unique_ptr<ImageReader> reader;
  ImageFanOut::Reopen reopen;
  bool raw = false;
};

// The sessions and report of such a write, once the targets are prepared
// and the image measured: `image` read once, from its start, for every
// target (`protected_prefixes` one per target). `image_name` names it in
// the report.
int run_fanned_out_write(const JobOptions& options, const std::string& image_name,
                         PreparedTargets prepared, const ImageDigest& digest,
                         const std::vector<std::uint64_t>& protected_prefixes,
                         ImageFeed image, JobObserver& observer);

}  // namespace ravik::job

#endif  // RAVIK_JOB_MULTI_WRITE_JOB_H_
