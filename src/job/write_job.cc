#include "job/write_job.h"

#include <chrono>
#include <optional>
#include <vector>

#include "error/byte_size.h"
#include "job/counterfeit_signs.h"
#include "job/digest_cache.h"
#include "job/event_pump.h"
#include "job/helper_session.h"
#include "job/image_chunks.h"
#include "job/job_preparation.h"
#include "job/wire.h"

namespace ravik::job {
namespace {

// "Image:    NAME (xz 1.2 MiB, decompressed 9.0 MiB, sha256 ..., hashed in 3 ms)".
std::string image_line(const std::string& name, const PreparedImage& image) {
  const ImageSource& source = *image.source;
  const std::string packing =
      source.compressed() ? std::string(image_format_name(source.format())) + " " +
                                format_bytes(source.file_size()) + ", decompressed "
                          : "";
  std::string pass;
  switch (image.digest.origin) {
    case DigestOrigin::kPublished:
      break;
    case DigestOrigin::kRemembered:
      pass = ", remembered from an earlier pass over this file";
      break;
    case DigestOrigin::kDownloadChecked:
      pass = ", download checksum matches, hashed in " + seconds_text(image.pass_seconds);
      break;
    case DigestOrigin::kPublishedConfirmed:
      pass = ", matches --sha256, hashed in " + seconds_text(image.pass_seconds);
      break;
    case DigestOrigin::kHashed:
      pass = ", hashed in " + seconds_text(image.pass_seconds);
      break;
  }
  return "Image:    " + name + " (" + packing + format_bytes(image.digest.size_bytes) +
         ", sha256 " + image.digest.sha256 + pass + ")";
}

class SingleDiskJob {
 public:
  SingleDiskJob(const JobOptions& options, JobObserver& observer)
      : options_(options), image_name_(options.image_path), observer_(observer) {}

  int run(const std::string& client_path);
  // The whole job as one JSON object, the last line of --json output.
  nlohmann::ordered_json record(int status) const;
  // The disk's outcome for the observer, once the session ran.
  void tell_outcome() const {
    if (outcome_.helper_started) {
      observer_.disk_finished(
          0, disk_outcome_of(options_, target_path_, outcome_, written_unverified()));
    }
  }

 private:
  bool writing() const { return options_.command == ClientCommand::kWrite; }
  // The whole image reached the disk; its verification did not end.
  bool written_unverified() const { return outcome_.image_written && !outcome_.verified; }
  // Stops before any session: the reason on standard error.
  int refuse(const std::string& reason);
  // The session, its image read straight from `image` when writing.
  void run_session(const PreparedTargets& prepared, PreparedImage& image);
  // The summary and the failure as the user reads them; the exit status.
  int report();

  // A copy: a piped image is read from where it was kept instead.
  JobOptions options_;
  std::string image_name_;  // as the user named it
  JobObserver& observer_;
  std::string target_path_;
  std::string image_sha256_;  // once known
  std::vector<std::string> summary_;
  SessionOutcome outcome_;
};

int SingleDiskJob::refuse(const std::string& reason) {
  outcome_.failure = reason;
  observer_.notice(NoticeKind::kDiagnostic, "ravik-device-client: " + reason);
  return 1;
}

int SingleDiskJob::run(const std::string& client_path) {
  auto prepared = prepare_targets(options_, client_path, observer_);
  if (!prepared) return refuse(prepared.error());
  PreparedImage image;
  if (writing()) {
    const std::optional<std::string> refused =
        prepare_image(options_, prepared->targets, observer_, image);
    image_sha256_ = image.digest.sha256;
    if (refused) return refuse(*refused);
    tell_image(observer_, image_name_, image);
    summary_.push_back(image_line(image_name_, image));
  }
  const TargetDescription& target = prepared->targets.front();
  target_path_ = target.fields.device_path;
  summary_.push_back("Target:   " + target_path_ + " (" +
                     (target.regular_file ? "regular file, " : "block device, ") +
                     format_bytes(target.fields.size_bytes) + ")");
  run_session(*prepared, image);
  // What the next prompt for this disk estimates its time from.
  if (writing() && outcome_.failure.empty() && outcome_.write_seconds > 0 &&
      !target.regular_file) {
    DigestCache().remember_write_rate(
        disk_rate_name(target),
        static_cast<std::uint64_t>(static_cast<double>(outcome_.bytes_written) /
                                   outcome_.write_seconds));
  }
  return report();
}

void SingleDiskJob::run_session(const PreparedTargets& prepared, PreparedImage& image) {
  SessionPlan plan{
      .target = prepared.targets.front(),
      .digest = image.digest,
      .helper_path = prepared.helper_paths.front(),
      .boot_contents = prepared.boot_contents,
      .protected_prefix_bytes = writing() ? image.protected_prefixes.front() : 0};
  const std::unique_ptr<ProgressSink> display_owner = observer_.new_progress();
  ProgressSink& display = *display_owner;
  std::optional<ReaderChunks> chunks;
  if (image.source) {
    const ImageSource* source = image.source.get();
    if (image.source->compressed()) {
      // The helper counts the image bytes; how far into the compressed file
      // that is only the client knows. The chunks keep the source alive for
      // as long as the display lives.
      display.set_detail("WRITE", [source] {
        return std::string(image_format_name(source->format())) + " " +
               format_bytes(source->file_bytes_read()) + " of " +
               format_bytes(source->file_size()) + " read";
      });
    }
    auto prints = std::make_unique<ImageFingerprints>(std::move(image.source));
    plan.fingerprints = prints.get();
    chunks.emplace(std::move(prints), kMaxSourcePayload);
  }
  // A write shows progress all along; a recovery may work long in silence.
  SessionWatch watch;
  std::optional<SessionWatchdog> watchdog;
  if (writing()) {
    watchdog.emplace(std::vector<SessionWatch*>{&watch},
                     std::chrono::seconds(options_.stall_limit_seconds));
  }
  outcome_ =
      run_helper_session(options_, plan,
                         {.chunks = chunks ? &*chunks : nullptr,
                          .progress = display,
                          .watch = watch,
                          .echo = observer_.wants_helper_events() ? &observer_ : nullptr,
                          .boot_file = options_.json ? nullptr : &observer_});
}

int SingleDiskJob::report() {
  if (!outcome_.helper_started) {
    observer_.notice(NoticeKind::kDiagnostic, "ravik-device-client: " + outcome_.failure);
    return 1;
  }
  // The boot file's content is the result then; the summary goes beside it.
  const NoticeKind summary =
      options_.read_boot_file ? NoticeKind::kDiagnostic : NoticeKind::kResult;
  if (options_.quiet && !options_.json && outcome_.failure.empty()) {
    observer_.notice(summary, "Done:     " + target_path_ +
                                  (!writing()        ? " recovered"
                                   : options_.verify ? " holds the image, verified"
                                                     : " holds the image"));
  } else if (!options_.json && !options_.quiet) {
    for (const std::string& line : summary_) observer_.notice(summary, line);
    for (const std::string& line : outcome_.summary) observer_.notice(summary, line);
  }
  if (outcome_.failure.empty()) return 0;
  observer_.notice(NoticeKind::kDiagnostic,
                   "ravik-device-client: failed: " + outcome_.failure);
  if (writing() && outcome_.write_started && !outcome_.image_proven) {
    observer_.notice(
        NoticeKind::kDiagnostic,
        "ravik-device-client: " +
            disk_state_text(target_path_, outcome_.bytes_written, written_unverified()));
  }
  return 1;
}

nlohmann::ordered_json SingleDiskJob::record(int status) const {
  nlohmann::ordered_json record = {{"event", "jobResult"},
                                   {"command", writing() ? "write" : "recover"},
                                   {"target", options_.target_path},
                                   {"succeeded", status == 0},
                                   {"bytesWritten", outcome_.bytes_written}};
  if (writing()) {
    record["imagePath"] = image_name_;
    record["imageSha256"] = image_sha256_.empty() ? nlohmann::ordered_json()
                                                  : nlohmann::ordered_json(image_sha256_);
    record["verified"] =
        outcome_.verified ? nlohmann::ordered_json(*outcome_.verified) : nullptr;
  }
  record["errorCode"] = outcome_.error_code ? nlohmann::ordered_json(*outcome_.error_code)
                                            : nlohmann::ordered_json();
  record["error"] = outcome_.failure.empty() ? nlohmann::ordered_json()
                                             : nlohmann::ordered_json(outcome_.failure);
  const bool disk_changed = writing() && outcome_.write_started && !outcome_.image_proven;
  record["diskState"] =
      disk_changed
          ? nlohmann::ordered_json(disk_state_text(
                options_.target_path, outcome_.bytes_written, written_unverified()))
          : nullptr;
  return record;
}

}  // namespace

std::string disk_state_text(const std::string& device, std::uint64_t bytes_written,
                            bool written_unverified) {
  if (bytes_written == 0) return "Nothing reached " + device + ".";
  if (written_unverified) {
    return std::to_string(bytes_written) + " bytes (" + format_bytes(bytes_written) +
           ") reached " + device +
           ": it holds the whole image, written but not verified.";
  }
  return std::to_string(bytes_written) + " bytes (" + format_bytes(bytes_written) +
         ") reached " + device + ", which does not hold a usable image.";
}

DiskOutcome disk_outcome_of(const JobOptions& options, const std::string& device,
                            const SessionOutcome& outcome, bool written_unverified) {
  const bool writing = options.command == ClientCommand::kWrite;
  const bool succeeded = outcome.helper_started && outcome.failure.empty();
  return {.device_path = device,
          .succeeded = succeeded,
          .verified = outcome.verified,
          .bytes_written = outcome.bytes_written,
          .error_code = outcome.error_code,
          .failure = outcome.failure,
          .disk_state =
              writing && outcome.write_started && !outcome.image_proven
                  ? disk_state_text(device, outcome.bytes_written, written_unverified)
                  : std::string(),
          .safe_to_remove = succeeded && options.end == EndCommand::kEject};
}

int run_write_job(const JobOptions& options, const std::string& client_path,
                  JobObserver& observer) {
  SingleDiskJob job(options, observer);
  const int status = job.run(client_path);
  if (options.json) observer.notice(NoticeKind::kResult, job.record(status).dump());
  job.tell_outcome();
  observer.job_finished(status);
  return status;
}

}  // namespace ravik::job
