#include "job/multi_write_job.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <vector>

#include "error/byte_size.h"
#include "job/counterfeit_signs.h"
#include "job/event_pump.h"
#include "job/helper_session.h"
#include "job/image_chunks.h"
#include "job/image_fan_out.h"
#include "job/image_source.h"
#include "job/job_events.h"
#include "job/job_preparation.h"
#include "job/plain_text.h"
#include "job/wire.h"

namespace ravik::job {
namespace {

// Enough read-ahead to keep every session's pipe full, small enough that
// memory stays a few dozen MiB whatever the image.
constexpr std::size_t kWindowChunks = 8;

std::string verified_text(const JobOptions& options, const SessionOutcome& outcome) {
  if (outcome.verified) return *outcome.verified ? "yes" : "NO";
  if (!options.verify && outcome.bytes_written > 0) return "skipped";
  return "-";
}

std::string rate_text(const SessionOutcome& outcome) {
  if (outcome.bytes_written == 0 || outcome.write_seconds <= 0.0) return "-";
  return format_bytes(static_cast<std::uint64_t>(
             static_cast<double>(outcome.bytes_written) / outcome.write_seconds)) +
         "/s";
}

nlohmann::ordered_json optional_text(const std::optional<std::string>& text) {
  return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json();
}

// One disk's result for scripts, printed as soon as it is known.
nlohmann::ordered_json disk_record(const JobOptions& options, const SessionPlan& plan,
                                   const SessionOutcome& outcome) {
  const std::string& target = plan.target.fields.device_path;
  const bool changed = outcome.write_started && !outcome.image_proven;
  return {{"event", "diskResult"},
          {"target", target},
          {"succeeded", outcome.failure.empty()},
          {"bytesWritten", outcome.bytes_written},
          {"verified", outcome.verified ? nlohmann::ordered_json(*outcome.verified)
                                        : nlohmann::ordered_json()},
          {"verification",
           outcome.failure.empty() ? verified_text(options, outcome) : std::string("-")},
          {"errorCode", optional_text(outcome.error_code)},
          {"error", outcome.failure.empty() ? nlohmann::ordered_json()
                                            : nlohmann::ordered_json(outcome.failure)},
          {"diskState", changed ? nlohmann::ordered_json(
                                      disk_state_text(target, outcome.bytes_written))
                                : nlohmann::ordered_json()}};
}

// Every disk's session at once, the image fanned out from `source`; each
// disk's result told `observer` as soon as it is known, so that
// a slow or stuck disk keeps nobody waiting to unplug the others.
std::vector<SessionOutcome> run_sessions(const JobOptions& options,
                                         std::vector<SessionPlan>& plans, ImageFeed feed,
                                         DiskBoard& board, JobObserver& observer) {
  std::vector<SessionOutcome> outcomes(plans.size());
  std::vector<SessionWatch> watches(plans.size());
  std::mutex finished_mutex;
  auto report_finished = [&](std::size_t i) {
    const SessionOutcome& outcome = outcomes[i];
    const std::string result =
        outcome.failure.empty()
            ? "ok, " + format_bytes(outcome.bytes_written) + " written, verified " +
                  verified_text(options, outcome)
            : "FAILED after " + format_bytes(outcome.bytes_written);
    std::lock_guard lock(finished_mutex);
    observer.disk_finished(
        i, disk_outcome_of(options, plans[i].target.fields.device_path, outcome));
    board.settle_row(i, result);
    board.print_above(options.json ? disk_record(options, plans[i], outcome).dump()
                                   : "Finished: " + plans[i].target.fields.device_path +
                                         " " + result);
  };
  std::vector<SessionWatch*> watched;
  for (SessionWatch& watch : watches) watched.push_back(&watch);
  const std::chrono::seconds stall_limit(options.stall_limit_seconds);
  const SessionWatchdog watchdog(std::move(watched), stall_limit);
  // A raw image is read by each session at its own position (the page cache
  // shares the reads), so that every disk goes at its own medium's pace; a
  // compressed one (or a source read once, like a held disk) is decoded once
  // and fanned out, and a disk that falls a window behind decodes it again on
  // its own rather than hold the others.
  std::vector<std::unique_ptr<ImageChunks>> own_chunks;
  if (feed.raw && feed.reopen) {
    std::vector<std::unique_ptr<ImageReader>> readers;
    readers.push_back(std::move(feed.reader));
    while (readers.size() < plans.size()) {
      auto opened = feed.reopen();
      if (!opened) break;
      readers.push_back(std::move(*opened));
    }
    if (readers.size() == plans.size()) {
      for (std::size_t i = 0; i < plans.size(); ++i) {
        auto prints = std::make_unique<ImageFingerprints>(std::move(readers[i]));
        plans[i].fingerprints = prints.get();
        own_chunks.push_back(
            std::make_unique<ReaderChunks>(std::move(prints), kMaxSourcePayload));
      }
    } else {
      feed.reader = std::move(readers.front());
    }
  }
  std::optional<ImageFanOut> fan_out;
  if (own_chunks.empty()) {
    auto prints = std::make_unique<ImageFingerprints>(std::move(feed.reader));
    for (SessionPlan& plan : plans) plan.fingerprints = prints.get();
    fan_out.emplace(std::move(prints), plans.size(),
                    ImageFanOut::Limits{.chunk_bytes = kMaxSourcePayload,
                                        .window_chunks = kWindowChunks,
                                        .stall_limit = stall_limit,
                                        .reopen = feed.reopen});
  }
  auto chunks_of = [&](std::size_t i) -> ImageChunks& {
    return own_chunks.empty() ? fan_out->session(i) : *own_chunks[i];
  };
  {
    std::vector<std::jthread> sessions;
    for (std::size_t i = 0; i < plans.size(); ++i) {
      sessions.emplace_back([&, i] {
        outcomes[i] = run_helper_session(
            options, plans[i],
            {.chunks = &chunks_of(i), .progress = board.row(i), .watch = watches[i]});
        report_finished(i);
      });
    }
  }  // every session joined before the fan-out and the watchdog go
  return outcomes;
}

nlohmann::ordered_json targets_of(const std::vector<SessionPlan>& plans) {
  nlohmann::ordered_json targets = nlohmann::ordered_json::array();
  for (const SessionPlan& plan : plans) targets.push_back(plan.target.fields.device_path);
  return targets;
}

// The table of every disk's result (the job's record with --json), then a
// line for each failed disk.
int report(const JobOptions& options, const std::string& image_name,
           const ImageDigest& digest, const std::vector<SessionPlan>& plans,
           const std::vector<SessionOutcome>& outcomes, JobObserver& observer) {
  std::vector<std::vector<std::string>> rows = {
      {"TARGET", "RESULT", "BYTES", "RATE", "VERIFIED"}};
  bool all_succeeded = true;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const SessionOutcome& outcome = outcomes[i];
    all_succeeded = all_succeeded && outcome.failure.empty();
    rows.push_back({plans[i].target.fields.device_path,
                    outcome.failure.empty() ? "ok" : "FAILED",
                    format_bytes(outcome.bytes_written), rate_text(outcome),
                    verified_text(options, outcome)});
  }
  if (options.json) {
    // Scripts read each disk's record above; the job's record sums them up.
    nlohmann::ordered_json failed = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < plans.size(); ++i) {
      if (!outcomes[i].failure.empty())
        failed.push_back(plans[i].target.fields.device_path);
    }
    const std::optional<std::string> first_code =
        failed.empty() ? std::nullopt
                       : std::ranges::find_if(outcomes, [](const SessionOutcome& o) {
                           return !o.failure.empty();
                         })->error_code;
    observer.notice(NoticeKind::kResult,
                    nlohmann::ordered_json{{"event", "jobResult"},
                                           {"command", "write"},
                                           {"targets", targets_of(plans)},
                                           {"succeeded", all_succeeded},
                                           {"failedTargets", failed},
                                           {"imagePath", image_name},
                                           {"imageSha256", digest.sha256},
                                           {"errorCode", optional_text(first_code)}}
                        .dump());
  } else if (!options.quiet) {
    observer.notice(NoticeKind::kResult, "Image:    " + image_name + " (" +
                                             format_bytes(digest.size_bytes) +
                                             ", sha256 " + digest.sha256 + ")");
  }
  if (!options.json) {
    for (const std::string& line : format_table(rows))
      observer.notice(NoticeKind::kResult, line);
  }
  for (std::size_t i = 0; i < plans.size(); ++i) {
    if (outcomes[i].failure.empty()) continue;
    const std::string& label = plans[i].target.fields.device_path;
    observer.notice(NoticeKind::kDiagnostic,
                    "ravik-device-client: failed: " + label + ": " + outcomes[i].failure);
    if (outcomes[i].write_started && !outcomes[i].image_proven) {
      observer.notice(
          NoticeKind::kDiagnostic,
          "ravik-device-client: " + disk_state_text(label, outcomes[i].bytes_written));
    }
  }
  return all_succeeded ? 0 : 1;
}

}  // namespace

int run_multi_write_job(const JobOptions& given, const std::string& client_path,
                        JobObserver& observer) {
  // A copy: a piped image is read from where it was kept instead.
  JobOptions options = given;
  auto refuse = [&](const std::string& reason) {
    observer.notice(NoticeKind::kDiagnostic, "ravik-device-client: " + reason);
    return 1;
  };
  auto prepared = prepare_targets(options, client_path, observer);
  if (!prepared) return refuse(prepared.error());
  PreparedImage image;
  if (auto refused = prepare_image(options, prepared->targets, observer, image)) {
    return refuse(*refused);
  }
  tell_image(observer, given.image_path, image);
  const bool raw = !image.source->compressed();
  ImageFeed feed{
      .reader = std::move(image.source),
      .reopen = [path = options.image_path]() -> Result<std::unique_ptr<ImageReader>> {
        RAVIK_ASSIGN_OR_RETURN(auto again, open_image_source(path));
        return std::unique_ptr<ImageReader>(std::move(again));
      },
      .raw = raw};
  return run_fanned_out_write(options, given.image_path, std::move(*prepared),
                              image.digest, image.protected_prefixes, std::move(feed),
                              observer);
}

int run_fanned_out_write(const JobOptions& options, const std::string& image_name,
                         PreparedTargets prepared, const ImageDigest& digest,
                         const std::vector<std::uint64_t>& protected_prefixes,
                         ImageFeed image, JobObserver& observer) {
  std::vector<SessionPlan> plans;
  std::vector<std::string> labels;
  for (std::size_t i = 0; i < prepared.targets.size(); ++i) {
    labels.push_back(prepared.targets[i].fields.device_path);
    plans.push_back({.target = std::move(prepared.targets[i]),
                     .digest = digest,
                     .helper_path = prepared.helper_paths[i],
                     .boot_contents = prepared.boot_contents,
                     .protected_prefix_bytes = protected_prefixes[i]});
  }
  const std::unique_ptr<DiskBoard> board_owner = observer.new_board(labels);
  DiskBoard& board = *board_owner;
  const std::vector<SessionOutcome> outcomes =
      run_sessions(options, plans, std::move(image), board, observer);
  board.close();
  const int status = report(options, image_name, digest, plans, outcomes, observer);
  observer.job_finished(status);
  return status;
}

}  // namespace ravik::job
