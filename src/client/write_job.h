// The client's one job: write an image to a target through the helper,
// verify it, end the session, and say whether all of it succeeded.
//
// Not thread-safe: one job per process. It runs the helper as a child and an
// event thread (EventPump) of its own for the duration of the job.
#ifndef RAVIK_CLIENT_WRITE_JOB_H_
#define RAVIK_CLIENT_WRITE_JOB_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "client/client_options.h"
#include "client/image_chunks.h"
#include "client/image_digest.h"
#include "client/progress_display.h"
#include "client/session_watch.h"
#include "client/target_description.h"

namespace ravik::client {

struct JobStreams {
  int out_fd;  // summary, or the helper's events with --json
  int err_fd;  // progress and failures
  bool err_is_terminal;
  bool quiet = false;  // no progress, only failures and the result

  int progress_fd() const { return quiet ? -1 : err_fd; }
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

// Every --boot-file's content in Base64, in order; or why one cannot be
// sent (unreadable, or above the helper's 1 MiB bound).
std::expected<std::vector<std::string>, std::string> read_boot_files(
    const std::vector<BootFile>& files);

// The prefix the helper holds back on `target`: --protected-prefix when
// given, else the image's partition-table area (default_protected_prefix).
// Refused when it is longer than the image or not whole blocks of the target.
Result<std::uint64_t> choose_protected_prefix(const ClientOptions& options,
                                              const ImageDigest& digest,
                                              const TargetDescription& target);

// Why a session that stalled for --stall-limit failed.
std::string given_up_text(const ClientOptions& options);

// What a failed write left on `device`: how much of the image reached it,
// and that it does not hold a usable image.
std::string disk_state_text(const std::string& device, std::uint64_t bytes_written);

// One disk of a write to several: what its session needs, found beforehand.
struct SessionPlan {
  TargetDescription target;
  ImageDigest digest;
  std::string helper_path;
  std::vector<std::string> boot_contents;  // Base64, in --boot-file order
  std::uint64_t protected_prefix_bytes = 0;
};

// How one disk's session went. `failure` empty means every step succeeded.
struct SessionOutcome {
  // As the helper reported the write: the image's length once written, the
  // highest position reached when the write failed.
  std::uint64_t bytes_written = 0;
  bool write_started = false;    // the helper held the disk
  bool image_proven = false;     // written, and read back unless --no-verify
  double write_seconds = 0;      // wall clock, the final sync included
  std::optional<bool> verified;  // nothing when not verified
  std::string failure;
};

// Runs the whole write session of `plan.target`, one disk of several: the
// image bytes from `chunks` (released once its stream ends), progress to
// `progress`, nothing printed. Sessions may run on threads of their own.
// `watch` hears of its helper and of every sign of life.
SessionOutcome run_write_session(const ClientOptions& options, const SessionPlan& plan,
                                 ProgressSink& progress, ImageChunks& chunks,
                                 SessionWatch& watch);

}  // namespace ravik::client

#endif  // RAVIK_CLIENT_WRITE_JOB_H_
