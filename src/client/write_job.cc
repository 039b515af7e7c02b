#include "client/write_job.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

#include "client/elevation.h"
#include "client/event_pump.h"
#include "client/image_chunks.h"
#include "client/image_digest.h"
#include "client/image_source.h"
#include "client/installed_helper.h"
#include "client/job_preparation.h"
#include "client/messages.h"
#include "client/protected_prefix.h"
#include "client/target_description.h"
#include "client/wire.h"
#include "io/eintr.h"
#include "io/unique_fd.h"
#include "protocol/base64.h"

namespace ravik::client {
namespace {

std::string event_failure(const HelperEvent& event) {
  return event.text("errorCode").value_or("UNKNOWN") + ": " +
         event.text("errorMessage").value_or("");
}

using Clock = std::chrono::steady_clock;

// "12 ms", "3.25 s".
std::string seconds_text(double elapsed) {
  char text[48];
  if (elapsed < 1.0) {
    std::snprintf(text, sizeof(text), "%.0f ms", elapsed * 1000.0);
  } else {
    std::snprintf(text, sizeof(text), "%.2f s", elapsed);
  }
  return text;
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

// What one job has to say at the end; `failure` empty means success so far.
struct JobReport {
  std::vector<std::string> summary;
  std::string failure;

  void fail_with(std::string text) {
    if (failure.empty()) failure = std::move(text);
  }
};

class WriteJob {
 public:
  WriteJob(const ClientOptions& options, const JobStreams& streams)
      : options_(options), image_name_(options.image_path), streams_(streams) {}

  // The job, then with --json its record on standard output.
  int run(const std::string& client_path);
  // One session of a write to several disks: its image bytes from `chunks`,
  // its progress to `progress`, its outcome kept instead of printed.
  SessionOutcome run_session(const SessionPlan& plan, ProgressSink& progress,
                             ImageChunks& chunks, SessionWatch& watch);

 private:
  // Runs the helper through the whole session; false when it did not start
  // (the reason is the report's failure).
  bool run_helper_session(const TargetDescription& target,
                          const std::optional<ImageDigest>& digest,
                          const std::string& helper_path, ProgressSink& progress);
  // Streams `size` bytes of the image from the session's chunks, then the
  // end frame once the image has ended there cleanly, else an abort frame.
  void stream_image(HelperProcess& helper, EventPump& pump, std::uint64_t size);
  void await_write_outcome(HelperProcess& helper, EventPump& pump);
  void verify(HelperProcess& helper, EventPump& pump);
  void end_session(HelperProcess& helper, EventPump& pump);
  // openBoot, the boot-file writes and the read, closeBoot.
  void edit_boot_partition(HelperProcess& helper, EventPump& pump);
  void recover(HelperProcess& helper, EventPump& pump);
  // Sends `message` and returns its answer when it is of `kind`; otherwise
  // notes the failure (with `what`) and returns nothing.
  std::optional<HelperEvent> ask(HelperProcess& helper, EventPump& pump,
                                 const nlohmann::ordered_json& message,
                                 std::string_view kind, const std::string& what);
  int run_job(const std::string& client_path);
  // The whole job as one JSON object, the last line of --json output.
  nlohmann::ordered_json job_record(int status) const;
  // Sends one control frame; a failure means the helper has gone.
  bool send(HelperProcess& helper, const nlohmann::ordered_json& message);
  // The disk holds the whole image, read back unless --no-verify.
  bool image_proven() const {
    return write_succeeded_ && (verified_ == true || (!options_.verify && !verified_));
  }

  // A copy: a piped image is read from where it was kept instead.
  ClientOptions options_;
  std::string image_name_;  // as the user named it
  const JobStreams& streams_;
  JobReport report_;
  std::vector<std::string> boot_contents_;  // Base64, in --boot-file order
  std::string image_sha256_;                // once known
  // Given for a session of a write to several disks; otherwise the session
  // reads the image itself.
  ImageChunks* chunks_ = nullptr;
  SessionWatch* watch_ = nullptr;
  Clock::time_point write_began_;
  std::uint64_t protected_prefix_ = 0;
  bool write_started_ = false;
  std::uint64_t bytes_written_ = 0;
  double write_seconds_ = 0;
  std::optional<bool> verified_;
  bool abort_sent_ = false;
  bool write_succeeded_ = false;
  bool session_over_ = false;
};

bool WriteJob::send(HelperProcess& helper, const nlohmann::ordered_json& message) {
  return static_cast<bool>(helper.write_all(control_frame(message)));
}

void WriteJob::stream_image(HelperProcess& helper, EventPump& pump, std::uint64_t size) {
  ImageChunks* chunks = chunks_;
  // However the stream ends, this session holds no image bytes back.
  struct Release {
    ImageChunks* chunks;
    ~Release() { chunks->release(); }
  } release{chunks};
  std::uint64_t sent = 0;
  while (sent < size) {
    if (pump.session_failure_seen()) break;
    std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(kMaxSourcePayload, size - sent));
    if (options_.cancel_after_bytes) {
      if (sent >= *options_.cancel_after_bytes) break;
      want = static_cast<std::size_t>(
          std::min<std::uint64_t>(want, *options_.cancel_after_bytes - sent));
    }
    auto chunk = chunks->next(want);
    if (!chunk) {
      report_.fail_with(chunk.error().message());
      break;
    }
    if (chunk->empty()) {
      // The image changed under us, or a compressed image's recorded size
      // was wrong; the helper's checks would refuse the stream anyway, so
      // give it up cleanly.
      report_.fail_with("The image ended after " + std::to_string(sent) +
                        " bytes, before the " + std::to_string(size) +
                        " announced to the helper.");
      break;
    }
    if (!helper.write_frame(
            data_frame_head(chunk->size()),
            {reinterpret_cast<const char*>(chunk->data()), chunk->size()})) {
      return;  // the helper ended; its events say why
    }
    sent += chunk->size();
  }
  if (sent == size && report_.failure.empty() && !pump.session_failure_seen()) {
    // Only the read past the last byte shows that a compressed image decoded
    // cleanly to its end (its checksum and trailer come last), and that the
    // image is not longer than announced.
    auto rest = chunks->next(1);
    if (!rest) {
      report_.fail_with(rest.error().message());
    } else if (!rest->empty()) {
      report_.fail_with("The image holds more than the " + std::to_string(size) +
                        " bytes announced to the helper.");
    } else {
      (void)helper.write_all(end_frame());
      return;
    }
  }
  if (options_.cancel_after_bytes && sent >= *options_.cancel_after_bytes) {
    report_.fail_with("The write was canceled after " + std::to_string(sent) +
                      " bytes, as asked.");
  }
  abort_sent_ = static_cast<bool>(helper.write_all(abort_frame()));
}

void WriteJob::await_write_outcome(HelperProcess& helper, EventPump& pump) {
  while (auto event = pump.next()) {
    const std::string kind = event->kind();
    if (kind == "written") {
      write_succeeded_ = true;
      // The helper's figure counts only the time inside device writes; the
      // stage the user waited for also holds the stream and the final sync.
      const std::uint64_t bytes = event->number("bytesWritten").value_or(0);
      bytes_written_ = bytes;
      write_seconds_ = std::chrono::duration<double>(Clock::now() - write_began_).count();
      const std::uint64_t device_ms = event->number("writeDurationMs").value_or(0);
      report_.summary.push_back("Written:  " + format_bytes(bytes) + " in " +
                                stage_figures(write_began_, bytes) +
                                ", including the final sync; time inside device "
                                "writes " +
                                std::to_string(device_ms) + " ms");
      return;
    }
    // A failed write still moved the disk's contents this far.
    bytes_written_ = std::max(bytes_written_, event->number("bytesWritten").value_or(0));
    if (kind == "sourceAborted") {
      report_.fail_with("The write was aborted: " + event_failure(*event));
      return;
    }
    if (kind == "error") {
      report_.fail_with("The write failed: " + event_failure(*event));
      if (event->flag("sessionRetained") == true) return;
      // The helper now waits for our abort frame before it serves the
      // session again (or it is ending, and the frame goes nowhere).
      if (!abort_sent_) abort_sent_ = static_cast<bool>(helper.write_all(abort_frame()));
      continue;
    }
    report_.fail_with("Unexpected helper event during the write: " + event->line);
    return;
  }
  session_over_ = true;
  report_.fail_with("The helper ended during the write.");
}

void WriteJob::verify(HelperProcess& helper, EventPump& pump) {
  const Clock::time_point began = Clock::now();
  if (!send(helper, verify_message("verify-1"))) return;
  auto event = pump.next();
  if (!event) {
    session_over_ = true;
    report_.fail_with("The helper ended during verification.");
    return;
  }
  if (event->kind() == "verifyResult") {
    const bool matches = event->flag("matches").value_or(false);
    verified_ = matches;
    report_.summary.push_back(
        "Verified: " + format_bytes(event->number("bytesVerified").value_or(0)) + " in " +
        stage_figures(began, event->number("bytesVerified")) + ", target sha256 " +
        event->text("targetSha256").value_or("?") +
        (matches ? " matches" : " DOES NOT MATCH"));
    if (!matches) {
      report_.fail_with("VERIFY_MISMATCH: The target does not hold the image (source " +
                        event->text("sourceSha256").value_or("?") + ", target " +
                        event->text("targetSha256").value_or("?") + ").");
    }
    return;
  }
  report_.fail_with("Verification failed: " + event_failure(*event));
  if (event->flag("sessionRetained") == false) session_over_ = true;
}

void WriteJob::end_session(HelperProcess& helper, EventPump& pump) {
  const std::string type(end_command_type(options_.end));
  const Clock::time_point began = Clock::now();
  if (!send(helper, simple_message(type, "end-1"))) return;
  auto event = pump.next();
  if (!event) {
    report_.fail_with("The helper ended before it answered " + type + ".");
    return;
  }
  const std::string kind = event->kind();
  if (kind == "released" || kind == "result") {
    report_.summary.push_back(std::string(kind == "released" ? "Released" : "Ejected") +
                              ": safe to remove, after " + stage_figures(began, {}));
  } else if (kind == "closed") {
    report_.summary.push_back("Closed:   data flushed, target left attached, after " +
                              stage_figures(began, {}));
  } else {
    report_.fail_with("Ending the session with " + type +
                      " failed: " + event_failure(*event));
  }
}

std::optional<HelperEvent> WriteJob::ask(HelperProcess& helper, EventPump& pump,
                                         const nlohmann::ordered_json& message,
                                         std::string_view kind, const std::string& what) {
  if (!send(helper, message)) {
    session_over_ = true;
    report_.fail_with("The helper ended before " + what + ".");
    return std::nullopt;
  }
  auto event = pump.next();
  if (!event) {
    session_over_ = true;
    report_.fail_with("The helper ended during " + what + ".");
    return std::nullopt;
  }
  if (event->kind() != kind) {
    report_.fail_with(what + " failed: " + event_failure(*event));
    if (event->flag("sessionRetained") == false) session_over_ = true;
    return std::nullopt;
  }
  return event;
}

void WriteJob::edit_boot_partition(HelperProcess& helper, EventPump& pump) {
  if (!ask(helper, pump, open_boot_message("boot-open", 1), "bootOpened",
           "Opening the boot partition")) {
    return;
  }
  for (std::size_t i = 0; i < options_.boot_files.size() && report_.failure.empty();
       ++i) {
    const std::string& name = options_.boot_files[i].name;
    auto written = ask(helper, pump,
                       boot_write_file_message("boot-write-" + std::to_string(i + 1),
                                               name, boot_contents_[i]),
                       "bootFileWritten", "Writing boot file " + name);
    if (written) {
      report_.summary.push_back(
          "Boot file: " + name + " (" +
          format_bytes(written->number("bytesWritten").value_or(0)) + ") written");
    }
  }
  if (options_.read_boot_file && report_.failure.empty()) {
    auto read =
        ask(helper, pump, boot_read_file_message("boot-read", *options_.read_boot_file),
            "bootFile", "Reading boot file " + *options_.read_boot_file);
    if (read && read->flag("exists") != true) {
      report_.fail_with("The boot partition holds no file " + *options_.read_boot_file +
                        ".");
    } else if (read) {
      auto bytes = base64_decode_canonical(read->text("dataBase64").value_or(""));
      if (!bytes) {
        report_.fail_with("The helper sent a boot file that is not canonical Base64.");
      } else if (!options_.json) {
        write_output(streams_.out_fd,
                     {reinterpret_cast<const char*>(bytes->data()), bytes->size()});
      }
    }
  }
  if (!session_over_) {
    (void)ask(helper, pump, simple_message("closeBoot", "boot-close"), "bootClosed",
              "Closing the boot partition");
  }
}

void WriteJob::recover(HelperProcess& helper, EventPump& pump) {
  auto result = ask(helper, pump, recover_message("recover-1", options_.volume_label),
                    "recoveryResult", "Recovery");
  if (result) {
    report_.summary.push_back("Recovered: one FAT32 partition labelled " +
                              options_.volume_label);
  }
}

int WriteJob::run(const std::string& client_path) {
  const int status = run_job(client_path);
  if (options_.json) write_text_line(streams_.out_fd, job_record(status).dump());
  return status;
}

nlohmann::ordered_json WriteJob::job_record(int status) const {
  nlohmann::ordered_json record = {
      {"event", "jobResult"},
      {"command", options_.command == ClientCommand::kWrite ? "write" : "recover"},
      {"target", options_.target_path},
      {"succeeded", status == 0},
      {"bytesWritten", bytes_written_}};
  if (options_.command == ClientCommand::kWrite) {
    record["imagePath"] = image_name_;
    record["imageSha256"] = image_sha256_.empty() ? nlohmann::ordered_json()
                                                  : nlohmann::ordered_json(image_sha256_);
    record["verified"] = verified_ ? nlohmann::ordered_json(*verified_) : nullptr;
  }
  record["error"] = report_.failure.empty() ? nlohmann::ordered_json()
                                            : nlohmann::ordered_json(report_.failure);
  const bool disk_changed =
      options_.command == ClientCommand::kWrite && write_started_ && !image_proven();
  record["diskState"] =
      disk_changed
          ? nlohmann::ordered_json(disk_state_text(options_.target_path, bytes_written_))
          : nullptr;
  return record;
}

int WriteJob::run_job(const std::string& client_path) {
  const bool writing = options_.command == ClientCommand::kWrite;
  auto refuse = [&](const std::string& reason) {
    report_.fail_with(reason);
    write_text_line(streams_.err_fd, "ravik-device-client: " + reason);
    return 1;
  };
  auto prepared = prepare_targets(options_, client_path, streams_);
  if (!prepared) return refuse(prepared.error());
  boot_contents_ = std::move(prepared->boot_contents);
  const TargetDescription* target = &prepared->targets.front();
  std::optional<SpooledImage> spooled;
  if (writing) {
    const std::uint64_t room = target->fields.size_bytes;
    auto piped = spool_piped_image(options_, room + room / 16);
    if (!piped) return refuse(piped.error().message());
    spooled = std::move(piped).value();
    if (spooled) options_.image_path = spooled->path;
  }
  std::optional<ImageDigest> digest;
  std::unique_ptr<ImageSource> image;
  double pass_seconds = 0;
  if (writing) {
    auto measured =
        measure_shown(options_, target->fields.size_bytes, streams_, pass_seconds);
    if (!measured) return refuse(measured.error().message());
    digest = std::move(measured).value();
    image_sha256_ = digest->sha256;
    if (auto unfit = image_unfit(*digest, prepared->targets)) return refuse(*unfit);
    auto prefix = choose_protected_prefix(options_, *digest, *target);
    if (!prefix) return refuse(prefix.error().message());
    protected_prefix_ = *prefix;
    // The stream is a second pass, from the image's start.
    auto opened = open_image_source(options_.image_path);
    if (!opened) return refuse(opened.error().message());
    image = std::move(opened).value();
    const std::string packing =
        image->compressed() ? std::string(image_format_name(image->format())) + " " +
                                  format_bytes(image->file_size()) + ", decompressed "
                            : "";
    const std::string pass =
        options_.sha256 && !image->compressed()
            ? ""
            : std::string(options_.sha256 ? ", measured in " : ", hashed in ") +
                  seconds_text(pass_seconds);
    report_.summary.push_back("Image:    " + image_name_ + " (" + packing +
                              format_bytes(digest->size_bytes) + ", sha256 " +
                              digest->sha256 + pass + ")");
  }
  report_.summary.push_back("Target:   " + target->fields.device_path + " (" +
                            (target->regular_file ? "regular file, " : "block device, ") +
                            format_bytes(target->fields.size_bytes) + ")");

  const std::string& helper_path = prepared->helper_paths.front();
  ProgressDisplay display(streams_.progress_fd(), streams_.err_is_terminal);
  std::optional<ReaderChunks> chunks;
  if (image) {
    if (image->compressed()) {
      // The helper counts the image bytes; how far into the compressed file
      // that is only the client knows. The chunks keep the source alive for
      // as long as the display lives.
      display.set_detail("WRITE", [source = image.get()] {
        return std::string(image_format_name(source->format())) + " " +
               format_bytes(source->file_bytes_read()) + " of " +
               format_bytes(source->file_size()) + " read";
      });
    }
    chunks.emplace(std::move(image), kMaxSourcePayload);
    chunks_ = &*chunks;
  }
  // A write shows progress all along; a recovery may work long in silence.
  SessionWatch watch;
  std::optional<SessionWatchdog> watchdog;
  if (writing) {
    watch_ = &watch;
    watchdog.emplace(std::vector<SessionWatch*>{&watch},
                     std::chrono::seconds(options_.stall_limit_seconds));
  }
  const bool started = run_helper_session(*target, digest, helper_path, display);
  watchdog.reset();
  if (watch.given_up()) report_.failure = given_up_text(options_);
  if (!started) {
    write_text_line(streams_.err_fd, "ravik-device-client: " + report_.failure);
    return 1;
  }
  const int summary_fd = options_.read_boot_file ? streams_.err_fd : streams_.out_fd;
  if (streams_.quiet && !options_.json && report_.failure.empty()) {
    write_text_line(summary_fd, "Done:     " + target->fields.device_path +
                                    (!writing          ? " recovered"
                                     : options_.verify ? " holds the image, verified"
                                                       : " holds the image"));
  } else if (!options_.json && !streams_.quiet) {
    for (const std::string& line : report_.summary) write_text_line(summary_fd, line);
  }
  if (!report_.failure.empty()) {
    write_text_line(streams_.err_fd, "ravik-device-client: failed: " + report_.failure);
    if (writing && write_started_ && !image_proven()) {
      write_text_line(streams_.err_fd,
                      "ravik-device-client: " +
                          disk_state_text(target->fields.device_path, bytes_written_));
    }
    return 1;
  }
  return 0;
}

SessionOutcome WriteJob::run_session(const SessionPlan& plan, ProgressSink& progress,
                                     ImageChunks& chunks, SessionWatch& watch) {
  chunks_ = &chunks;
  watch_ = &watch;
  boot_contents_ = plan.boot_contents;
  protected_prefix_ = plan.protected_prefix_bytes;
  if (!run_helper_session(plan.target, plan.digest, plan.helper_path, progress)) {
    chunks.release();
  }
  return {.bytes_written = bytes_written_,
          .write_started = write_started_,
          .image_proven = image_proven(),
          .write_seconds = write_seconds_,
          .verified = verified_,
          .failure = report_.failure};
}

bool WriteJob::run_helper_session(const TargetDescription& target,
                                  const std::optional<ImageDigest>& digest,
                                  const std::string& helper_path,
                                  ProgressSink& given_progress) {
  const bool writing = options_.command == ClientCommand::kWrite;
  auto helper = start_helper_for_target(helper_path, target.regular_file);
  if (!helper) {
    if (watch_ != nullptr) watch_->forget();
    report_.fail_with(helper.error().message());
    return false;
  }
  std::optional<WatchedSink> watched;
  if (watch_ != nullptr) {
    watch_->watch(helper->pid(), helper->elevated());
    watched.emplace(given_progress, *watch_);
  }
  ProgressSink& progress = watched ? *watched : given_progress;
  int helper_status = 0;
  {
    EventPump pump(*helper, progress, options_.json ? streams_.out_fd : -1);
    const std::string job_id = "ravik-client-" + std::to_string(::getpid());
    if (writing) {
      OpenWriteFields fields{.ids = {job_id, job_id, job_id},
                             .target = target.fields,
                             .bytes_total = digest->size_bytes,
                             .sha256 = digest->sha256,
                             .tail_policy = options_.tail_policy,
                             .protected_prefix_bytes = protected_prefix_,
                             .allow_regular_file = target.regular_file};
      (void)send(*helper, open_write_message(fields));
    } else {
      (void)send(*helper, open_format_message({job_id, job_id, job_id}, target.fields,
                                              target.regular_file));
    }
    auto ready = pump.next();
    if (!ready || ready->kind() != "ready") {
      report_.fail_with(ready ? "The helper refused the target: " + event_failure(*ready)
                        : helper->elevated()
                            ? "sudo did not start the helper as root, or the helper "
                              "ended before it held the target (see above). Nothing "
                              "was written."
                            : "The helper ended before it held the target.");
      session_over_ = true;
      if (chunks_ != nullptr) chunks_->release();
    } else if (!writing) {
      write_started_ = true;
      recover(*helper, pump);
      if (!session_over_) end_session(*helper, pump);
    } else {
      write_started_ = true;
      write_began_ = Clock::now();
      stream_image(*helper, pump, digest->size_bytes);
      await_write_outcome(*helper, pump);
      if (write_succeeded_ && options_.verify && !session_over_) verify(*helper, pump);
      if (write_succeeded_ && report_.failure.empty() && !session_over_ &&
          (!options_.boot_files.empty() || options_.read_boot_file)) {
        edit_boot_partition(*helper, pump);
      }
      if (!session_over_) end_session(*helper, pump);
    }
    helper->close_input();
    while (auto extra = pump.next()) {
      report_.fail_with("Unexpected helper event: " + extra->line);
    }
    if (watch_ != nullptr) watch_->forget();
    helper_status = helper->wait();
  }
  if (helper_status != 0) {
    report_.fail_with("The helper exited with status " + std::to_string(helper_status) +
                      ".");
  }
  // One copy of an error on the terminal: the job's rendering of it.
  helper->pass_failure_line_unless_in(report_.failure);
  return true;
}

}  // namespace

Result<std::uint64_t> choose_protected_prefix(const ClientOptions& options,
                                              const ImageDigest& digest,
                                              const TargetDescription& target) {
  const std::uint64_t block = target.logical_block_size;
  if (!options.protected_prefix_bytes) {
    // The tables and boot code sit in the first MiB, or before the first
    // partition; reading one MiB finds a GPT's entries too.
    RAVIK_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> head,
                           read_image_head(options.image_path, 1024 * 1024));
    return default_protected_prefix(head, digest.size_bytes, block);
  }
  const std::uint64_t prefix = *options.protected_prefix_bytes;
  if (prefix > digest.size_bytes) {
    return fail(codes::kProtocolError, "--protected-prefix (" + std::to_string(prefix) +
                                           " bytes) is longer than the image (" +
                                           image_size_text(digest) +
                                           "). Nothing was written.");
  }
  if (block != 0 && prefix % block != 0) {
    return fail(codes::kProtocolError, "--protected-prefix must be whole blocks of " +
                                           target.fields.device_path + " (" +
                                           std::to_string(block) +
                                           " bytes each). Nothing was written.");
  }
  return prefix;
}

std::string given_up_text(const ClientOptions& options) {
  return "The disk showed no progress for " +
         std::to_string(options.stall_limit_seconds) +
         " s and was given up; its helper was stopped.";
}

std::string disk_state_text(const std::string& device, std::uint64_t bytes_written) {
  if (bytes_written == 0) return "Nothing reached " + device + ".";
  return std::to_string(bytes_written) + " bytes (" + format_bytes(bytes_written) +
         ") reached " + device + ", which does not hold a usable image.";
}

std::expected<std::vector<std::string>, std::string> read_boot_files(
    const std::vector<BootFile>& files) {
  constexpr std::uint64_t kMaxBootFile = 1'048'576;
  std::vector<std::string> contents;
  for (const BootFile& file : files) {
    UniqueFd fd(::open(file.local_path.c_str(), O_RDONLY | O_CLOEXEC));
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    ssize_t count = 0;
    while (fd && bytes.size() <= kMaxBootFile && (count = retry_on_eintr([&] {
                                                    return ::read(fd.get(), chunk,
                                                                  sizeof(chunk));
                                                  })) != 0) {
      if (count < 0) break;
      bytes.insert(bytes.end(), chunk, chunk + count);
    }
    if (!fd || count < 0) {
      return std::unexpected("could not read " + file.local_path + ": " +
                             os_error_text(errno) + ". Nothing was written.");
    }
    if (bytes.size() > kMaxBootFile) {
      return std::unexpected(file.local_path +
                             " is larger than the 1 MiB a boot file may hold. Nothing "
                             "was written.");
    }
    contents.push_back(base64_encode(bytes));
  }
  return contents;
}

SessionOutcome run_write_session(const ClientOptions& options, const SessionPlan& plan,
                                 ProgressSink& progress, ImageChunks& chunks,
                                 SessionWatch& watch) {
  const JobStreams no_streams{.out_fd = -1, .err_fd = -1, .err_is_terminal = false};
  WriteJob job(options, no_streams);
  return job.run_session(plan, progress, chunks, watch);
}

std::string default_helper_path(const std::string& client_path,
                                bool regular_file_target) {
  if (!regular_file_target) return installed_helper_path(client_path);
  const std::size_t slash = client_path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : client_path.substr(0, slash);
  return directory + "/ravik-unix-device-helper-testing";
}

int run_write_job(const ClientOptions& options, const std::string& client_path,
                  const JobStreams& streams) {
  WriteJob job(options, streams);
  return job.run(client_path);
}

}  // namespace ravik::client
