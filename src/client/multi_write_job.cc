#include "client/multi_write_job.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "client/event_pump.h"
#include "client/image_digest.h"
#include "client/image_fan_out.h"
#include "client/image_source.h"
#include "client/job_preparation.h"
#include "client/progress_board.h"
#include "client/wire.h"

namespace ravik::client {
namespace {

// Enough read-ahead to keep every session's pipe full, small enough that
// memory stays a few dozen MiB whatever the image.
constexpr std::size_t kWindowChunks = 8;

std::string verified_text(const ClientOptions& options, const SessionOutcome& outcome) {
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

}  // namespace

int run_multi_write_job(const ClientOptions& given, const std::string& client_path,
                        const JobStreams& streams) {
  // A copy: a piped image is read from where it was kept instead.
  ClientOptions options = given;
  auto refuse = [&](const std::string& reason) {
    write_text_line(streams.err_fd, "ravik-device-client: " + reason);
    return 1;
  };

  auto prepared = prepare_targets(options, client_path, streams);
  if (!prepared) return refuse(prepared.error());
  std::vector<TargetDescription>& targets = prepared->targets;
  // A decompressing pass stops once the image outgrows the smallest disk.
  const auto smallest = std::ranges::min_element(
      targets, {},
      [](const TargetDescription& target) { return target.fields.size_bytes; });
  const std::uint64_t room = smallest->fields.size_bytes;
  auto piped = spool_piped_image(options, room + room / 16);
  if (!piped) return refuse(piped.error().message());
  if (*piped) options.image_path = (*piped)->path;
  double pass_seconds = 0;
  auto digest =
      measure_shown(options, smallest->fields.size_bytes, streams, pass_seconds);
  if (!digest) return refuse(digest.error().message());
  if (auto unfit = image_unfit(*digest, targets)) return refuse(*unfit);

  std::vector<SessionPlan> plans;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    auto prefix = choose_protected_prefix(options, *digest, targets[i]);
    if (!prefix) return refuse(prefix.error().message());
    plans.push_back({.target = std::move(targets[i]),
                     .digest = *digest,
                     .helper_path = prepared->helper_paths[i],
                     .boot_contents = prepared->boot_contents,
                     .protected_prefix_bytes = *prefix});
  }

  // The stream is a second pass, from the image's start.
  auto image = open_image_source(options.image_path);
  if (!image) return refuse(image.error().message());

  std::vector<std::string> labels;
  for (const SessionPlan& plan : plans) labels.push_back(plan.target.fields.device_path);
  ProgressBoard board(streams.progress_fd(), streams.err_is_terminal, labels);
  std::vector<SessionOutcome> outcomes(plans.size());
  std::vector<SessionWatch> watches(plans.size());
  std::mutex finished_mutex;
  // Each disk's result as soon as it is known, so that a slow or stuck disk
  // keeps nobody waiting to unplug the others.
  auto report_finished = [&](std::size_t i) {
    const SessionOutcome& outcome = outcomes[i];
    const std::string line =
        "Finished: " + labels[i] + " " +
        (outcome.failure.empty()
             ? "ok, " + format_bytes(outcome.bytes_written) + " written, verified " +
                   verified_text(options, outcome)
             : "FAILED after " + format_bytes(outcome.bytes_written));
    std::lock_guard lock(finished_mutex);
    write_text_line(streams.out_fd, line);
  };
  {
    std::vector<SessionWatch*> watched;
    for (SessionWatch& watch : watches) watched.push_back(&watch);
    const std::chrono::seconds stall_limit(options.stall_limit_seconds);
    const SessionWatchdog watchdog(std::move(watched), stall_limit);
    ImageFanOut fan_out(std::move(image).value(), plans.size(),
                        {.chunk_bytes = kMaxSourcePayload,
                         .window_chunks = kWindowChunks,
                         .stall_limit = stall_limit});
    std::vector<std::jthread> sessions;
    for (std::size_t i = 0; i < plans.size(); ++i) {
      sessions.emplace_back([&, i] {
        outcomes[i] = run_write_session(options, plans[i], board.row(i),
                                        fan_out.session(i), watches[i]);
        if (watches[i].given_up()) outcomes[i].failure = given_up_text(options);
        report_finished(i);
      });
    }
  }  // every session joined before the fan-out and the watchdog go
  board.close();

  std::vector<std::vector<std::string>> rows = {
      {"TARGET", "RESULT", "BYTES", "RATE", "VERIFIED"}};
  bool all_succeeded = true;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const SessionOutcome& outcome = outcomes[i];
    all_succeeded = all_succeeded && outcome.failure.empty();
    rows.push_back({labels[i], outcome.failure.empty() ? "ok" : "FAILED",
                    format_bytes(outcome.bytes_written), rate_text(outcome),
                    verified_text(options, outcome)});
  }
  if (!streams.quiet) {
    write_text_line(streams.out_fd, "Image:    " + given.image_path + " (" +
                                        format_bytes(digest->size_bytes) + ", sha256 " +
                                        digest->sha256 + ")");
  }
  for (const std::string& line : format_table(rows))
    write_text_line(streams.out_fd, line);
  for (std::size_t i = 0; i < plans.size(); ++i) {
    if (outcomes[i].failure.empty()) continue;
    write_text_line(streams.err_fd, "ravik-device-client: failed: " + labels[i] + ": " +
                                        outcomes[i].failure);
    if (outcomes[i].write_started && !outcomes[i].image_proven) {
      write_text_line(streams.err_fd,
                      "ravik-device-client: " +
                          disk_state_text(labels[i], outcomes[i].bytes_written));
    }
  }
  return all_succeeded ? 0 : 1;
}

}  // namespace ravik::client
