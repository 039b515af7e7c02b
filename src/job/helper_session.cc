#include "job/helper_session.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <initializer_list>

#include "error/byte_size.h"
#include "job/counterfeit_signs.h"
#include "job/elevation.h"
#include "job/event_pump.h"
#include "job/messages.h"
#include "job/signal_relay.h"
#include "job/wire.h"
#include "protocol/base64.h"

namespace ravik::job {
namespace {

using Clock = std::chrono::steady_clock;

std::string event_failure(const HelperEvent& event) { return helper_failure_text(event); }

// What the user reads when the helper refuses the write: a digest the user
// gave that the stream does not hash to means the image is not the one it
// describes (nothing changed during the job).
std::string write_failure_text(const HelperEvent& event, const ImageDigest& digest) {
  constexpr std::string_view kStreamDigestDiffers =
      "The source changed after preparation; prepare the image again before retrying.";
  if (digest.origin == DigestOrigin::kPublished &&
      event.text("errorCode") == codes::kImageMissing.text() &&
      event.text("errorMessage") == kStreamDigestDiffers) {
    return "The image is not the one the given digest describes: it does not hash to "
           "--sha256 " +
           digest.sha256 + ".";
  }
  return "The write failed: " + event_failure(event);
}

// A stage as the user lived it: its wall-clock time and, when it moved
// bytes, their mean rate over that time.
std::string stage_figures(Clock::time_point began, std::optional<std::uint64_t> bytes) {
  const auto elapsed = std::chrono::duration<double>(Clock::now() - began).count();
  std::string figures = seconds_text(elapsed);
  if (bytes && elapsed > 0.0) {
    figures +=
        " (" +
        format_bytes(static_cast<std::uint64_t>(static_cast<double>(*bytes) / elapsed)) +
        "/s)";
  }
  return figures;
}

// What the user reads when a command to the helper goes wrong.
struct AskTexts {
  std::string unsent;      // the command could not be sent: the helper has gone
  std::string unanswered;  // the helper ended without an answer
  std::string refused;     // before the helper's code and message
};

// The usual texts for `what`, a step named as a sentence's subject.
AskTexts texts_about(const std::string& what) {
  return {.unsent = "The helper ended before " + what + ".",
          .unanswered = "The helper ended during " + what + ".",
          .refused = what + " failed: "};
}

// The steps of one session once the helper holds the target. Every step
// records its failure in the outcome; `over_` says the helper has ended or
// given the session up, after which nothing more is asked of it.
class SessionSteps : public HeldSession {
 public:
  SessionSteps(const JobOptions& options, const SessionPlan& plan, const SessionIo& io,
               HelperProcess& helper, EventPump& pump, ProgressSink& progress,
               SessionOutcome& outcome)
      : options_(options),
        plan_(plan),
        io_(io),
        helper_(helper),
        pump_(pump),
        progress_(progress),
        outcome_(outcome) {}

  void write();
  void recover();
  void run_held(const HeldSteps& steps);

  bool send(const nlohmann::ordered_json& message) override {
    if (helper_.write_all(control_frame(message))) return true;
    over_ = true;
    return false;
  }
  std::optional<HelperEvent> next() override {
    auto event = pump_.next();
    if (!event) over_ = true;
    return event;
  }
  std::optional<HelperEvent> ask(const nlohmann::ordered_json& message,
                                 std::initializer_list<std::string_view> kinds,
                                 const std::string& what) override {
    return ask(message, kinds, texts_about(what));
  }
  void fail(std::string text) override { fail_with(std::move(text)); }
  void mark_over() override { over_ = true; }
  bool over() const override { return over_; }
  ProgressSink& progress() override { return progress_; }

 private:
  // Streams the image, then awaits the helper's verdict; true once written.
  bool write_image();
  // The image's bytes from the session's chunks, then the end frame once the
  // image has ended there cleanly; otherwise an abort frame, and true when
  // that was sent.
  bool stream_image();
  // After `sent` bytes of the image: the end frame when they are all of it,
  // else the abort frame; true when an abort frame was sent.
  bool finish_stream(ImageChunks& chunks, std::uint64_t sent);
  bool await_write_outcome(bool abort_sent);
  // True when the helper read the image back itself before it answered:
  // the body before it wrote the held-back prefix, then the prefix.
  bool proven_by_readback() const;
  void verify();
  // openBoot, the boot-file writes and the read, closeBoot.
  void edit_boot_partition();
  void end_session();
  // Sends `message` and returns its answer when it is one of `kinds`;
  // otherwise records the failure with `texts` and returns nothing.
  std::optional<HelperEvent> ask(const nlohmann::ordered_json& message,
                                 std::initializer_list<std::string_view> kinds,
                                 const AskTexts& texts);
  void fail_with(std::string text) {
    if (outcome_.failure.empty()) outcome_.failure = std::move(text);
  }
  // A failure the helper reported: its code kept for scripts as well.
  void fail_with(std::string text, const HelperEvent& event) {
    if (outcome_.failure.empty()) outcome_.error_code = event.text("errorCode");
    fail_with(std::move(text));
  }

  const JobOptions& options_;
  const SessionPlan& plan_;
  const SessionIo& io_;
  HelperProcess& helper_;
  EventPump& pump_;
  ProgressSink& progress_;
  SessionOutcome& outcome_;
  Clock::time_point write_began_;
  bool over_ = false;
  bool readback_verified_ = false;  // as the helper's `written` said
};

void SessionSteps::write() {
  const bool written = write_image();
  outcome_.image_written = written;
  if (written && options_.verify && !over_) {
    if (proven_by_readback()) {
      outcome_.verified = true;
      outcome_.summary.push_back(
          "Verified: " + format_bytes(plan_.digest.size_bytes) +
          " read back by the helper before it wrote the partition table; no second "
          "pass (--verify-again asks for one)");
    }
    if (!proven_by_readback() || options_.verify_again) verify();
  }
  if (written && outcome_.failure.empty() && !over_ &&
      (!options_.boot_files.empty() || options_.read_boot_file)) {
    edit_boot_partition();
  }
  if (!over_) end_session();
  outcome_.image_proven =
      written && (outcome_.verified == true || (!options_.verify && !outcome_.verified));
}

void SessionSteps::recover() {
  if (ask(recover_message("recover-1", options_.volume_label), {"recoveryResult"},
          texts_about("Recovery"))) {
    outcome_.summary.push_back("Recovered: one FAT32 partition labelled " +
                               options_.volume_label);
  }
  if (!over_) end_session();
}

void SessionSteps::run_held(const HeldSteps& steps) {
  steps(*this, outcome_);
  if (!over_) end_session();
}

bool SessionSteps::write_image() {
  write_began_ = Clock::now();
  const bool abort_sent = stream_image();
  return await_write_outcome(abort_sent);
}

bool SessionSteps::stream_image() {
  ImageChunks& chunks = *io_.chunks;
  // However the stream ends, this session holds no image bytes back.
  struct StopTaking {
    ImageChunks& chunks;
    ~StopTaking() { chunks.stop_taking(); }
  } stop_taking{chunks};
  const std::uint64_t size = plan_.digest.size_bytes;
  const std::optional<std::uint64_t> cancel_after = options_.cancel_after_bytes;
  std::uint64_t sent = 0;
  while (sent < size) {
    if (pump_.session_failure_seen()) break;
    // A helper that cannot be signalled (run through pkexec) learns of a
    // cancel from the abort frame; one that was signalled gets it too.
    if (signal_relay::interrupted()) break;
    // A helper that cannot be signalled (run through pkexec) learns of a
    // cancel from the abort frame; one that was signalled gets it too.
    if (signal_relay::interrupted()) break;
    std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(kMaxSourcePayload, size - sent));
    if (cancel_after) {
      if (sent >= *cancel_after) break;
      want =
          static_cast<std::size_t>(std::min<std::uint64_t>(want, *cancel_after - sent));
    }
    auto chunk = chunks.next(want);
    if (!chunk) {
      fail_with(chunk.error().message());
      break;
    }
    if (chunk->empty()) {
      // The image changed under us, or a compressed image's recorded size
      // was wrong; the helper's checks would refuse the stream anyway, so
      // give it up cleanly.
      fail_with("The image ended after " + std::to_string(sent) + " bytes, before the " +
                std::to_string(size) + " announced to the helper.");
      break;
    }
    if (!helper_.write_frame(
            data_frame_head(chunk->size()),
            {reinterpret_cast<const char*>(chunk->data()), chunk->size()})) {
      return false;  // the helper ended; its events say why
    }
    sent += chunk->size();
  }
  return finish_stream(chunks, sent);
}

bool SessionSteps::finish_stream(ImageChunks& chunks, std::uint64_t sent) {
  const std::uint64_t size = plan_.digest.size_bytes;
  if (sent == size && outcome_.failure.empty() && !pump_.session_failure_seen()) {
    // Only the read past the last byte shows that a compressed image decoded
    // cleanly to its end (its checksum and trailer come last), and that the
    // image is not longer than announced.
    auto rest = chunks.next(1);
    if (!rest) {
      fail_with(rest.error().message());
    } else if (!rest->empty()) {
      fail_with("The image holds more than the " + std::to_string(size) +
                " bytes announced to the helper.");
    } else {
      (void)helper_.write_all(end_frame());
      return false;
    }
  }
  if (options_.cancel_after_bytes && sent >= *options_.cancel_after_bytes) {
    fail_with("The write was canceled after " + std::to_string(sent) +
              " bytes, as asked.");
  }
  return static_cast<bool>(helper_.write_all(abort_frame()));
}

bool SessionSteps::await_write_outcome(bool abort_sent) {
  while (auto event = pump_.next()) {
    const std::string kind = event->kind();
    if (kind == "written") {
      // The helper's figure counts only the time inside device writes; the
      // stage the user waited for also holds the stream and the final sync.
      const std::uint64_t bytes = event->number("bytesWritten").value_or(0);
      outcome_.bytes_written = bytes;
      outcome_.write_seconds =
          std::chrono::duration<double>(Clock::now() - write_began_).count();
      const std::uint64_t device_ms = event->number("writeDurationMs").value_or(0);
      readback_verified_ = event->flag("protectedBodyVerified") == true &&
                           event->flag("protectedPrefixVerified") == true;
      outcome_.summary.push_back("Written:  " + format_bytes(bytes) + " in " +
                                 stage_figures(write_began_, bytes) +
                                 ", including the final sync; time inside device "
                                 "writes " +
                                 std::to_string(device_ms) + " ms");
      return true;
    }
    // A failed write still moved the disk's contents this far.
    outcome_.bytes_written =
        std::max(outcome_.bytes_written, event->number("bytesWritten").value_or(0));
    if (kind == "sourceAborted") {
      fail_with("The write was aborted: " + event_failure(*event), *event);
      return false;
    }
    if (kind == "error") {
      fail_with(write_failure_text(*event, plan_.digest), *event);
      if (event->flag("sessionRetained") == true) return false;
      // The helper now waits for our abort frame before it serves the
      // session again (or it is ending, and the frame goes nowhere).
      if (!abort_sent) abort_sent = static_cast<bool>(helper_.write_all(abort_frame()));
      continue;
    }
    fail_with("Unexpected helper event during the write: " + event->line);
    return false;
  }
  over_ = true;
  fail_with("The helper ended during the write.");
  return false;
}

bool SessionSteps::proven_by_readback() const {
  // Without a held-back prefix the helper reads nothing back, whatever the
  // flags say.
  return readback_verified_ && plan_.protected_prefix_bytes > 0;
}

void SessionSteps::verify() {
  const Clock::time_point began = Clock::now();
  auto event = ask(verify_message("verify-1"), {"verifyResult"},
                   {.unsent = "The helper ended before verification.",
                    .unanswered = "The helper ended during verification.",
                    .refused = "Verification failed: "});
  if (!event) return;
  const bool matches = event->flag("matches").value_or(false);
  outcome_.verified = matches;
  outcome_.summary.push_back(
      "Verified: " + format_bytes(event->number("bytesVerified").value_or(0)) + " in " +
      stage_figures(began, event->number("bytesVerified")) + ", target sha256 " +
      event->text("targetSha256").value_or("?") +
      (matches ? " matches" : " DOES NOT MATCH"));
  if (!matches) {
    // A disk that keeps less than it reports fails every verification; say
    // so when its readback shows it.
    const std::optional<std::string> counterfeit =
        plan_.fingerprints == nullptr
            ? std::nullopt
            : look_for_counterfeit(*this, *plan_.fingerprints, plan_.digest.size_bytes);
    if (outcome_.failure.empty()) outcome_.error_code = "VERIFY_MISMATCH";
    fail_with("VERIFY_MISMATCH: The target does not hold the image (source " +
              event->text("sourceSha256").value_or("?") + ", target " +
              event->text("targetSha256").value_or("?") + ")." +
              (counterfeit ? " " + *counterfeit : ""));
  }
}

void SessionSteps::end_session() {
  const std::string type(end_command_type(options_.end));
  const Clock::time_point began = Clock::now();
  const std::string ended = "The helper ended before it answered " + type + ".";
  auto event = ask(simple_message(type, "end-1"), {"released", "result", "closed"},
                   {.unsent = ended,
                    .unanswered = ended,
                    .refused = "Ending the session with " + type + " failed: "});
  if (!event) return;
  const std::string kind = event->kind();
  if (kind == "closed") {
    outcome_.summary.push_back("Closed:   data flushed, target left attached, after " +
                               stage_figures(began, {}));
  } else {
    outcome_.summary.push_back(std::string(kind == "released" ? "Released" : "Ejected") +
                               ": safe to remove, after " + stage_figures(began, {}));
  }
}

std::optional<HelperEvent> SessionSteps::ask(
    const nlohmann::ordered_json& message, std::initializer_list<std::string_view> kinds,
    const AskTexts& texts) {
  if (!helper_.write_all(control_frame(message))) {
    over_ = true;
    fail_with(texts.unsent);
    return std::nullopt;
  }
  auto event = pump_.next();
  if (!event) {
    over_ = true;
    fail_with(texts.unanswered);
    return std::nullopt;
  }
  if (std::ranges::find(kinds, event->kind()) == kinds.end()) {
    fail_with(texts.refused + event_failure(*event), *event);
    if (event->flag("sessionRetained") == false) over_ = true;
    return std::nullopt;
  }
  return event;
}

void SessionSteps::edit_boot_partition() {
  if (!ask(open_boot_message("boot-open", 1), {"bootOpened"},
           texts_about("Opening the boot partition"))) {
    return;
  }
  for (std::size_t i = 0; i < options_.boot_files.size() && outcome_.failure.empty();
       ++i) {
    const std::string& name = options_.boot_files[i].name;
    auto written = ask(boot_write_file_message("boot-write-" + std::to_string(i + 1),
                                               name, plan_.boot_contents[i]),
                       {"bootFileWritten"}, texts_about("Writing boot file " + name));
    if (written) {
      outcome_.summary.push_back(
          "Boot file: " + name + " (" +
          format_bytes(written->number("bytesWritten").value_or(0)) + ") written");
    }
  }
  if (options_.read_boot_file && outcome_.failure.empty()) {
    const std::string& name = *options_.read_boot_file;
    auto read = ask(boot_read_file_message("boot-read", name), {"bootFile"},
                    texts_about("Reading boot file " + name));
    if (read && read->flag("exists") != true) {
      fail_with("The boot partition holds no file " + name + ".");
    } else if (read) {
      auto bytes = base64_decode_canonical(read->text("dataBase64").value_or(""));
      if (!bytes) {
        fail_with("The helper sent a boot file that is not canonical Base64.");
      } else if (io_.boot_file != nullptr) {
        io_.boot_file->output(
            NoticeKind::kResult,
            {reinterpret_cast<const char*>(bytes->data()), bytes->size()});
      }
    }
  }
  if (!over_) {
    (void)ask(simple_message("closeBoot", "boot-close"), {"bootClosed"},
              texts_about("Closing the boot partition"));
  }
}

// The open request the session begins with.
nlohmann::ordered_json open_message(const JobOptions& options, const SessionPlan& plan) {
  const std::string job_id = "ravik-client-" + std::to_string(::getpid());
  const TargetDescription& target = plan.target;
  if (plan.held_steps && plan.read_only_hold) {
    return open_read_message({job_id, job_id, job_id}, target.fields,
                             target.regular_file);
  }
  if (plan.held_steps || options.command != ClientCommand::kWrite) {
    return open_format_message({job_id, job_id, job_id}, target.fields,
                               target.regular_file);
  }
  return open_write_message({.ids = {job_id, job_id, job_id},
                             .target = target.fields,
                             .bytes_total = plan.digest.size_bytes,
                             .sha256 = plan.digest.sha256,
                             .tail_policy = options.tail_policy,
                             .protected_prefix_bytes = plan.protected_prefix_bytes,
                             .allow_regular_file = target.regular_file});
}

// Why the helper gave no `ready`: its refusal, or its early end.
std::string not_ready_text(const std::optional<HelperEvent>& answer,
                           const HelperProcess& helper) {
  if (answer) return "The helper refused the target: " + event_failure(*answer);
  if (helper.elevated()) {
    return "sudo did not start the helper as root, or the helper ended before it held "
           "the target (see above). Nothing was written.";
  }
  return "The helper ended before it held the target.";
}

// Opens the target, then runs the steps the command asks for.
void open_and_run(const JobOptions& options, const SessionPlan& plan, const SessionIo& io,
                  HelperProcess& helper, EventPump& pump, ProgressSink& progress,
                  SessionOutcome& outcome) {
  (void)helper.write_all(control_frame(open_message(options, plan)));
  auto ready = pump.next();
  if (!ready || ready->kind() != "ready") {
    outcome.failure = not_ready_text(ready, helper);
    if (ready) outcome.error_code = ready->text("errorCode");
    if (io.chunks != nullptr) io.chunks->stop_taking();
    return;
  }
  outcome.write_started = true;
  SessionSteps steps(options, plan, io, helper, pump, progress, outcome);
  if (plan.held_steps) {
    steps.run_held(plan.held_steps);
  } else if (options.command == ClientCommand::kWrite) {
    steps.write();
  } else {
    steps.recover();
  }
}

// The whole session but the watchdog's verdict.
SessionOutcome drive_session(const JobOptions& options, const SessionPlan& plan,
                             const SessionIo& io) {
  SessionOutcome outcome;
  auto helper = start_helper_for_target(plan.helper_path, plan.target.regular_file,
                                        options.elevation);
  if (!helper) {
    io.watch.forget();
    if (io.chunks != nullptr) io.chunks->stop_taking();
    outcome.failure = helper.error().message();
    return outcome;
  }
  outcome.helper_started = true;
  io.watch.watch(helper->pid(), helper->elevated(), helper->give_up_fd());
  WatchedSink progress(io.progress, io.watch);
  int helper_status = 0;
  {
    EventPump pump(*helper, progress, io.echo);
    open_and_run(options, plan, io, *helper, pump, progress, outcome);
    helper->close_input();
    while (auto extra = pump.next()) {
      if (outcome.failure.empty()) {
        outcome.failure = "Unexpected helper event: " + extra->line;
      }
    }
    io.watch.forget();
    helper_status = helper->wait();
  }
  if (helper_status != 0 && outcome.failure.empty()) {
    outcome.failure =
        "The helper exited with status " + std::to_string(helper_status) + ".";
  }
  // One copy of an error on the terminal: the job's rendering of it.
  helper->pass_failure_line_unless_in(outcome.failure);
  return outcome;
}

}  // namespace

std::string helper_failure_text(const HelperEvent& event) {
  return event.text("errorCode").value_or("UNKNOWN") + ": " +
         event.text("errorMessage").value_or("");
}

SessionOutcome run_helper_session(const JobOptions& options, const SessionPlan& plan,
                                  const SessionIo& io) {
  SessionOutcome outcome = drive_session(options, plan, io);
  if (io.watch.given_up()) outcome.failure = given_up_text(options);
  return outcome;
}

std::string given_up_text(const JobOptions& options) {
  return "The disk gave no progress for " + std::to_string(options.stall_limit_seconds) +
         " s and was given up; its helper was stopped.";
}

std::string seconds_text(double elapsed) {
  char text[48];
  if (elapsed < 1.0) {
    std::snprintf(text, sizeof(text), "%.0f ms", elapsed * 1000.0);
  } else {
    std::snprintf(text, sizeof(text), "%.2f s", elapsed);
  }
  return text;
}

}  // namespace ravik::job
