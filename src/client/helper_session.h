// One helper session, the one way the client drives the helper: the helper
// started for one target, the open request, then for a write the image
// streamed, read back and the boot files edited, for a recovery the new
// layout, and last the end the user chose; and how all of it went. The
// single-disk job and each disk of a write to several run it alike.
//
// Thread-compatible: a session runs on the thread that calls it, with an
// event thread (EventPump) of its own; sessions of several disks may run on
// threads of their own at once.
#ifndef RAVIK_CLIENT_HELPER_SESSION_H_
#define RAVIK_CLIENT_HELPER_SESSION_H_

#include <cstdint>
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

// What one session needs, found beforehand.
struct SessionPlan {
  TargetDescription target;
  ImageDigest digest;  // a write's image; unused by a recovery
  std::string helper_path;
  std::vector<std::string> boot_contents;  // Base64, in --boot-file order
  std::uint64_t protected_prefix_bytes = 0;
};

// Where a session's image comes from and what it says goes.
struct SessionIo {
  // A write's image bytes, no longer taken once its stream ends; nothing
  // for a recovery.
  ImageChunks* chunks = nullptr;
  ProgressSink& progress;
  // Hears of the helper and of every sign of life.
  SessionWatch& watch;
  int echo_fd = -1;       // every event line as it arrives (--json), or none
  int boot_file_fd = -1;  // the --read-boot-file content, or nowhere
};

// How one session went. `failure` empty means every step succeeded.
struct SessionOutcome {
  bool helper_started = false;  // false: `failure` says why it could not be run
  // As the helper reported the write: the image's length once written, the
  // highest position reached when the write failed.
  std::uint64_t bytes_written = 0;
  bool write_started = false;    // the helper held the disk
  bool image_proven = false;     // written, and read back unless --no-verify
  double write_seconds = 0;      // wall clock, the final sync included
  std::optional<bool> verified;  // nothing when not verified
  // Each step's result for the user, in order ("Written:  ...").
  std::vector<std::string> summary;
  std::string failure;
  // The helper's code for `failure` when the helper reported it.
  std::optional<std::string> error_code;
};

// Runs the session of `plan.target` as `options.command` asks (write or
// recover), printing nothing itself: the summary and failure are the
// caller's to show. A session the watch saw given up fails as such.
SessionOutcome run_helper_session(const ClientOptions& options, const SessionPlan& plan,
                                  const SessionIo& io);

// Why a session that stalled for --stall-limit failed.
std::string given_up_text(const ClientOptions& options);

// "12 ms", "3.25 s".
std::string seconds_text(double elapsed);

}  // namespace ravik::client

#endif  // RAVIK_CLIENT_HELPER_SESSION_H_
