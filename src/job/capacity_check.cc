#include "job/capacity_check.h"

#include <chrono>
#include <cstdio>

#include "error/byte_size.h"
#include "job/event_pump.h"
#include "job/helper_session.h"
#include "job/job_preparation.h"
#include "job/messages.h"

namespace ravik::job {
namespace {

std::optional<CapacityVerdict> verdict_named(const std::string& name) {
  if (name == "genuine") return CapacityVerdict::kGenuine;
  if (name == "wrapAround") return CapacityVerdict::kWrapAround;
  if (name == "droppedWrites") return CapacityVerdict::kDroppedWrites;
  if (name == "corrupted") return CapacityVerdict::kCorrupted;
  return std::nullopt;
}

HelperError malformed(const HelperEvent& event, const std::string& why) {
  return HelperError(codes::kProtocolError,
                     "The helper's capacity report " + why + ": " + event.line);
}

// "12%", "99.9%": a share never rounded up to all of it.
std::string share_text(std::uint64_t part, std::uint64_t whole) {
  const double percent =
      whole == 0 ? 0.0 : static_cast<double>(part) * 100.0 / static_cast<double>(whole);
  char text[32];
  if (part < whole && percent >= 99.5) return "99.9%";
  std::snprintf(text, sizeof(text), percent >= 10.0 ? "%.0f%%" : "%.1f%%", percent);
  return text;
}

// The probe of one disk in its format-only session.
void probe(HeldSession& session, SessionOutcome& outcome, const std::string& device,
           std::optional<CapacityFinding>& found) {
  auto event = session.ask(probe_capacity_message("probe-1"), {"capacityProbed"},
                           "The capacity probe");
  if (!event) return;
  auto finding = parse_capacity_probed(*event);
  if (!finding) {
    session.fail(finding.error().message());
    return;
  }
  outcome.summary.push_back(capacity_words(*finding, device));
  found = *finding;
}

}  // namespace

Result<CapacityFinding> parse_capacity_probed(const HelperEvent& event) {
  static constexpr std::string_view kMembers[] = {
      "event",   "protocolVersion", "requestId",           "sessionId",
      "taskId",  "operationId",     "reportedBytes",       "verifiedBytes",
      "finding", "blocksProbed",    "firstBadOffsetBytes", "wrapsToOffsetBytes"};
  for (const auto& [key, value] : event.json.items()) {
    if (std::ranges::find(kMembers, key) == std::end(kMembers)) {
      return fail(malformed(event, "holds an unknown member " + key));
    }
  }
  CapacityFinding finding;
  const auto reported = event.number("reportedBytes");
  const auto verified = event.number("verifiedBytes");
  const auto blocks = event.number("blocksProbed");
  const auto verdict = verdict_named(event.text("finding").value_or(""));
  if (event.kind() != "capacityProbed" || !reported || !verified || !blocks || !verdict) {
    return fail(malformed(event, "lacks a member or has a wrong one"));
  }
  finding.reported_bytes = *reported;
  finding.verified_bytes = *verified;
  finding.blocks_probed = *blocks;
  finding.verdict = *verdict;
  finding.first_bad_offset = event.number("firstBadOffsetBytes");
  finding.wraps_to_offset = event.number("wrapsToOffsetBytes");
  const bool genuine = finding.verdict == CapacityVerdict::kGenuine;
  if (finding.verified_bytes > finding.reported_bytes ||
      (genuine && finding.verified_bytes != finding.reported_bytes)) {
    return fail(malformed(event, "gives a real size that does not fit the disk"));
  }
  if (genuine == finding.first_bad_offset.has_value() ||
      (finding.first_bad_offset && *finding.first_bad_offset >= finding.reported_bytes)) {
    return fail(malformed(event, "gives no failing offset, or one that cannot be"));
  }
  if ((finding.verdict == CapacityVerdict::kWrapAround) !=
      finding.wraps_to_offset.has_value()) {
    return fail(malformed(event, "names a wrap-around target without a wrap-around"));
  }
  return finding;
}

std::string capacity_words(const CapacityFinding& finding, const std::string& device) {
  const std::string reported = format_bytes(finding.reported_bytes);
  const std::string real = format_bytes(finding.verified_bytes);
  const std::string probed = std::to_string(finding.blocks_probed) + " blocks probed";
  if (finding.verdict == CapacityVerdict::kGenuine) {
    return "Genuine:  all " + reported + " of " + device +
           " are real: every block written across it read back as written (" + probed +
           ").";
  }
  const std::string bad = format_bytes(*finding.first_bad_offset);
  const std::string head = " only the first " + real + " of the " + reported + " that " +
                           device + " reports are real (" +
                           share_text(finding.verified_bytes, finding.reported_bytes) +
                           "; " + probed + "): ";
  switch (finding.verdict) {
    case CapacityVerdict::kWrapAround:
      return "COUNTERFEIT:" + head + "reading at " + bad +
             " returns what was written at " + format_bytes(*finding.wraps_to_offset) +
             ": writes past the real size wrap around over earlier data. It was left "
             "without a partition table.";
    case CapacityVerdict::kDroppedWrites:
      return "COUNTERFEIT:" + head + "what is written at " + bad +
             " and beyond is lost, read back as zeros or a constant. It was left "
             "without a partition table.";
    case CapacityVerdict::kCorrupted:
    case CapacityVerdict::kGenuine:
      break;
  }
  return "DAMAGED:" + head + "data written at " + bad +
         " read back altered: the stick is probably failing. It was left without a "
         "partition table.";
}

int run_check_job(const JobOptions& options, const std::string& client_path,
                  JobObserver& observer) {
  // The check has no image; a write that asked for it has one still to come.
  JobOptions checking = options;
  checking.image_path.clear();
  checking.sha256.reset();
  checking.boot_files.clear();
  if (checking.command != ClientCommand::kCheck) checking.end = EndCommand::kClose;
  auto prepared = prepare_targets(checking, client_path, observer);
  if (!prepared) {
    observer.notice(NoticeKind::kDiagnostic, "ravik-device-client: " + prepared.error());
    return 1;
  }
  int status = 0;
  for (std::size_t i = 0; i < prepared->targets.size(); ++i) {
    const std::string& device = prepared->targets[i].fields.device_path;
    std::optional<CapacityFinding> found;
    SessionPlan plan{.target = prepared->targets[i],
                     .digest = {},
                     .helper_path = prepared->helper_paths[i],
                     .boot_contents = {}};
    plan.held_steps = [&](HeldSession& session, SessionOutcome& outcome) {
      probe(session, outcome, device, found);
    };
    const std::unique_ptr<ProgressSink> display_owner = observer.new_progress();
    ProgressSink& display = *display_owner;
    SessionWatch watch;
    SessionOutcome outcome;
    {
      const SessionWatchdog watchdog({&watch},
                                     std::chrono::seconds(options.stall_limit_seconds));
      outcome = run_helper_session(
          checking, plan,
          {.chunks = nullptr,
           .progress = display,
           .watch = watch,
           .echo = observer.wants_helper_events() ? &observer : nullptr});
    }
    display.finish();
    if (!checking.json) {
      for (const std::string& line : outcome.summary)
        observer.notice(NoticeKind::kResult, line);
    }
    if (!outcome.failure.empty()) {
      observer.notice(NoticeKind::kDiagnostic,
                      "ravik-device-client: failed: " + device + ": " + outcome.failure);
      status = 1;
    } else if (!found || found->verdict != CapacityVerdict::kGenuine) {
      observer.notice(
          NoticeKind::kDiagnostic,
          "ravik-device-client: " + device +
              " is not all real: do not trust it with data." +
              (options.command == ClientCommand::kCheck ? "" : " Nothing was written."));
      status = 1;
    }
  }
  return status;
}

}  // namespace ravik::job
