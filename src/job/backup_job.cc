#include "job/backup_job.h"

#include <chrono>
#include <optional>

#include "error/byte_size.h"
#include "job/backup_file.h"
#include "job/event_pump.h"
#include "job/held_disk_reads.h"
#include "job/helper_session.h"
#include "job/job_preparation.h"

namespace ravik::job {
namespace {

using Clock = std::chrono::steady_clock;

int refuse_backup(JobObserver& observer, const std::string& reason) {
  observer.notice(NoticeKind::kDiagnostic, "ravik-device-client: " + reason);
  return 1;
}

std::string backup_rate_text(std::uint64_t bytes, double seconds) {
  if (seconds <= 0.0) return "";
  return " (" +
         format_bytes(static_cast<std::uint64_t>(static_cast<double>(bytes) / seconds)) +
         "/s)";
}

// The held disk's bytes into `file`, with progress; then the file made
// complete and named.
void back_up(HeldSession& session, SessionOutcome& outcome, std::uint64_t size,
             BackupFile& file, std::optional<std::uint64_t> cancel_after) {
  const Clock::time_point began = Clock::now();
  Clock::time_point shown;
  const std::string format(backup_compression_name(file.compression()));
  auto take = [&](std::span<const std::uint8_t> bytes) -> Result<void> {
    if (cancel_after && file.bytes_in() >= *cancel_after) {
      return fail(codes::kCanceled, "The backup was canceled after " +
                                        std::to_string(file.bytes_in()) +
                                        " bytes, as asked.");
    }
    RAVIK_RETURN_IF_ERROR(file.append(bytes));
    const Clock::time_point now = Clock::now();
    const std::uint64_t done = file.bytes_in();
    if (now - shown >= std::chrono::milliseconds(200) || done == size) {
      shown = now;
      const double elapsed = std::chrono::duration<double>(now - began).count();
      session.progress().update(
          {.stage = "READ",
           .done = done,
           .total = size,
           .bytes_per_second = static_cast<std::uint64_t>(static_cast<double>(done) /
                                                          std::max(elapsed, 1e-3)),
           .detail = file.compression() == BackupCompression::kNone
                         ? std::string()
                         : format + " " + format_bytes(file.file_bytes()) + " written"});
    }
    return {};
  };
  const bool read = read_held_disk(session, size, take);
  session.progress().finish();
  if (!read) return;
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  auto digest = file.commit();
  if (!digest) {
    session.fail(digest.error().message());
    return;
  }
  outcome.bytes_written = size;
  outcome.summary.push_back("Read:     " + format_bytes(size) + " in " +
                            seconds_text(seconds) + backup_rate_text(size, seconds));
  outcome.summary.push_back("Backup:   " + file.path() + " (" + format + " " +
                            format_bytes(file.file_bytes()) + "), sha256 " + *digest);
  outcome.summary.push_back("Checksum: " + file.path() + ".sha256");
}

}  // namespace

int run_backup_job(const JobOptions& given, const std::string& client_path,
                   JobObserver& observer) {
  // Made first: an image name that is taken is refused before the disk is
  // touched, and the open temporary file keeps a file system of the disk
  // itself busy, so the helper cannot unmount it from under the backup.
  auto file = BackupFile::create(given.image_path, given.overwrite);
  if (!file) return refuse_backup(observer, file.error().message());
  // A backup changes nothing on the disk: there is nothing to confirm.
  JobOptions options = given;
  options.assume_yes = true;
  options.image_path.clear();
  auto prepared = prepare_targets(options, client_path, observer);
  if (!prepared) return refuse_backup(observer, prepared.error());
  const TargetDescription& target = prepared->targets.front();
  const std::uint64_t size = target.fields.size_bytes;
  SessionPlan plan{.target = target,
                   .digest = {},
                   .helper_path = prepared->helper_paths.front(),
                   .boot_contents = {}};
  plan.read_only_hold = true;
  plan.held_steps = [&](HeldSession& session, SessionOutcome& outcome) {
    back_up(session, outcome, size, *file, given.cancel_after_bytes);
  };
  const std::unique_ptr<ProgressSink> display_owner = observer.new_progress();
  ProgressSink& display = *display_owner;
  SessionWatch watch;
  SessionOutcome outcome;
  {
    const SessionWatchdog watchdog({&watch},
                                   std::chrono::seconds(options.stall_limit_seconds));
    outcome = run_helper_session(
        options, plan,
        {.chunks = nullptr,
         .progress = display,
         .watch = watch,
         .echo = observer.wants_helper_events() ? &observer : nullptr});
  }
  if (options.json) {
    // The helper's events are the record.
  } else if (!options.quiet || !outcome.failure.empty()) {
    observer.notice(NoticeKind::kResult, "Disk:     " + target.fields.device_path + " (" +
                                             format_bytes(size) + ")");
    for (const std::string& line : outcome.summary) {
      observer.notice(NoticeKind::kResult, line);
    }
  } else {
    observer.notice(NoticeKind::kResult, "Done:     " + given.image_path + " holds " +
                                             target.fields.device_path);
  }
  if (outcome.failure.empty()) return 0;
  observer.notice(NoticeKind::kDiagnostic,
                  "ravik-device-client: failed: " + outcome.failure);
  if (outcome.bytes_written == 0) {
    observer.notice(
        NoticeKind::kDiagnostic,
        "ravik-device-client: no backup was kept as " + given.image_path + ".");
  }
  return 1;
}

}  // namespace ravik::job
