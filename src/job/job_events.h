// How a job tells its front end what happens: the samples of its progress,
// the lines a person reads, the question asked before a disk is overwritten,
// and the facts of the image and of each disk's outcome. The engine writes
// nothing to a terminal or a file descriptor of its own; the command line
// prints these, the desktop application shows them.
//
// Threads: a job calls its observer from the thread that runs the job, and,
// while the sessions of a several-disk write run, from their threads too,
// never two calls at once to notice(), disk_finished() or a DiskBoard's
// settle_row()/print_above() (the job serialises them). A ProgressSink is fed
// by one session's event thread. An implementation that hands the events to
// another thread (a GUI's main loop) copies what it keeps.
#ifndef RAVIK_JOB_JOB_EVENTS_H_
#define RAVIK_JOB_JOB_EVENTS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "job/image_digest.h"

namespace ravik::job {

struct ProgressSample {
  std::string_view stage;  // "WRITE", "FLUSH", "VERIFY"
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  std::uint64_t bytes_per_second = 0;
  std::string detail = {};  // shown in parentheses after the figures, when not empty
};

// Where a session's progress goes: one display, or one row of a board.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void update(const ProgressSample& sample) = 0;
  // Ends the current bar's line, if one is drawn.
  virtual void finish() = 0;
  // Gives every later sample of `stage` that has no detail of its own the
  // text `detail` returns at the time. `detail` runs on the thread that calls
  // update(), and must be safe there. Ignored by a sink that shows no detail.
  virtual void set_detail(std::string /*stage*/,
                          std::function<std::string()> /*detail*/) {}
};

// The progress of a several-disk write: one row per disk, in the order of
// the job's targets.
class DiskBoard {
 public:
  virtual ~DiskBoard() = default;
  // The row of disk `index`; it lives as long as the board.
  virtual ProgressSink& row(std::size_t index) = 0;
  // Freezes disk `index`'s row with its result ("ok, ...", "FAILED after ...").
  virtual void settle_row(std::size_t index, std::string result) = 0;
  // A result line printed above the rows.
  virtual void print_above(const std::string& line) = 0;
  // The rows drawn for the last time.
  virtual void close() = 0;
};

enum class NoticeKind {
  kResult,  // the summary, the records (the command line's standard output)
  // Progress, failures and warnings, and the summary when the result is
  // data (the command line's standard error).
  kDiagnostic,
};

// Asked before anything on the disks is overwritten (write, recover, clone).
struct OverwriteQuestion {
  std::string disks;  // "/dev/sdb", or "/dev/sdb, /dev/sdc and /dev/sdd"
  std::size_t disk_count = 0;
  std::string what;     // "overwritten" or "formatted"
  std::string details;  // each disk's description, lines indented by four
  // One line per partition that will be unmounted first
  // ("ravik-device-client: /dev/sdb: ...\n" each), shown when no question is asked.
  std::string unmounted;
  // The job was told to go on without asking (--yes); the question comes all
  // the same, so that the front end may show what will be unmounted.
  bool assume_yes = false;
  // The image comes through standard input, which then holds no answer.
  bool image_piped = false;
};

// The image as measured before a write.
struct ImageFacts {
  std::string name;    // as the user named it
  std::string format;  // image_format_name(): "raw", "xz", ...
  // Decompressed size and sha256, and where the digest came from.
  ImageDigest digest;
};

// What one disk of a job ended with.
struct DiskOutcome {
  std::string device_path;
  bool succeeded = false;
  std::optional<bool> verified;  // absent: not verified
  std::uint64_t bytes_written = 0;
  std::optional<std::string> error_code;  // the helper's, when it reported one
  std::string failure;                    // plain words, empty on success
  // What a failed write left on the disk (disk_state_text); empty when the
  // disk was not changed or holds the image.
  std::string disk_state;
  bool safe_to_remove = false;  // ejected
};

class JobObserver {
 public:
  virtual ~JobObserver() = default;

  // A line (or several, separated by line feeds) without its final line feed.
  virtual void notice(NoticeKind kind, std::string_view line) = 0;
  // Text as it is: no line feed added (a boot file's content).
  virtual void output(NoticeKind kind, std::string_view text) = 0;
  // A fresh sink for one stage of a single-disk job (hashing the image,
  // writing, reading back).
  virtual std::unique_ptr<ProgressSink> new_progress() = 0;
  // A fresh board for a write to the disks `labels` names.
  virtual std::unique_ptr<DiskBoard> new_board(
      const std::vector<std::string>& labels) = 0;
  // Whether everything on the disks may be destroyed: nothing to go on, or
  // the reason not to (the job then writes nothing).
  virtual std::optional<std::string> confirm_overwrite(
      const OverwriteQuestion& question) = 0;
  // Whether every event line of the helper is wanted through
  // notice(kResult, ...) as it arrives (the command line's --json).
  virtual bool wants_helper_events() const { return false; }

  virtual void image_measured(const ImageFacts& /*image*/) {}
  // `disk` indexes the job's targets in the order given.
  virtual void disk_finished(std::size_t /*disk*/, const DiskOutcome& /*outcome*/) {}
  // The job's exit status: 0 when everything asked for succeeded.
  virtual void job_finished(int /*status*/) {}
};

}  // namespace ravik::job

#endif  // RAVIK_JOB_JOB_EVENTS_H_
