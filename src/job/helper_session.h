// One helper session, the one way the client drives the helper: the helper
// started for one target, the open request, then for a write the image
// streamed, read back and the boot files edited, for a recovery the new
// layout, and last the end the user chose; and how all of it went. The
// single-disk job and each disk of a write to several run it alike.
//
// Thread-compatible: a session runs on the thread that calls it, with an
// event thread (EventPump) of its own; sessions of several disks may run on
// threads of their own at once.
#ifndef RAVIK_JOB_HELPER_SESSION_H_
#define RAVIK_JOB_HELPER_SESSION_H_

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "job/image_chunks.h"
#include "job/image_digest.h"
#include "job/job_events.h"
#include "job/job_options.h"
#include "job/session_watch.h"
#include "job/target_description.h"
#include "job/wire.h"

namespace ravik::job {

struct SessionOutcome;
class ImageFingerprints;

// The helper of a session that holds its target, as the steps that live
// beside this driver see it (a backup's reads, a capacity probe). A failure
// is recorded in the session's outcome; once the helper has ended or given
// the session up, nothing more is asked of it.
class HeldSession {
 public:
  virtual ~HeldSession() = default;
  // False when the command could not be sent: the helper has gone.
  virtual bool send(const nlohmann::ordered_json& message) = 0;
  // The next event that is not progress; nothing once the helper ended.
  virtual std::optional<HelperEvent> next() = 0;
  // Sends `message` and returns its answer when it is one of `kinds`;
  // otherwise records why, naming `what` (a step, as a sentence's subject).
  virtual std::optional<HelperEvent> ask(const nlohmann::ordered_json& message,
                                         std::initializer_list<std::string_view> kinds,
                                         const std::string& what) = 0;
  // Records the session's first failure.
  virtual void fail(std::string text) = 0;
  // The helper has ended or given the session up.
  virtual void mark_over() = 0;
  virtual bool over() const = 0;
  // Where the steps show their own progress.
  virtual ProgressSink& progress() = 0;
};

using HeldSteps = std::function<void(HeldSession&, SessionOutcome&)>;

// "CODE: message" of a helper's error event.
std::string helper_failure_text(const HelperEvent& event);

// What one session needs, found beforehand.
struct SessionPlan {
  TargetDescription target;
  ImageDigest digest;  // a write's image; unused by a recovery
  std::string helper_path;
  std::vector<std::string> boot_contents;  // Base64, in --boot-file order
  std::uint64_t protected_prefix_bytes = 0;
  // Set: the steps that run once the helper holds the target, instead of
  // the command's own, in a read-only hold (`read_only_hold`) or a
  // format-only one; the session then ends as asked.
  HeldSteps held_steps = {};
  bool read_only_hold = false;
  // A write's image, sampled as it streams: a failed verification then
  // looks for the signs of a counterfeit disk.
  ImageFingerprints* fingerprints = nullptr;
};

// Where a session's image comes from and what it says goes.
struct SessionIo {
  // A write's image bytes, no longer taken once its stream ends; nothing
  // for a recovery.
  ImageChunks* chunks = nullptr;
  ProgressSink& progress;
  // Hears of the helper and of every sign of life.
  SessionWatch& watch;
  JobObserver* echo = nullptr;       // every event line as it arrives (--json), or none
  JobObserver* boot_file = nullptr;  // the --read-boot-file content, or nowhere
};

// How one session went. `failure` empty means every step succeeded.
struct SessionOutcome {
  bool helper_started = false;  // false: `failure` says why it could not be run
  // As the helper reported the write: the image's length once written, the
  // highest position reached when the write failed.
  std::uint64_t bytes_written = 0;
  bool write_started = false;    // the helper held the disk
  bool image_written = false;    // the helper answered that all of it is written
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
SessionOutcome run_helper_session(const JobOptions& options, const SessionPlan& plan,
                                  const SessionIo& io);

// Why a session that stalled for --stall-limit failed.
std::string given_up_text(const JobOptions& options);

// "12 ms", "3.25 s".
std::string seconds_text(double elapsed);

}  // namespace ravik::job

#endif  // RAVIK_JOB_HELPER_SESSION_H_
