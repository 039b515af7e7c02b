#include "client/write_job.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "client/event_pump.h"
#include "client/image_digest.h"
#include "client/target_description.h"
#include "client/wire.h"
#include "io/unique_fd.h"

namespace ravik::client {
namespace {

std::string event_failure(const HelperEvent& event) {
  return event.text("errorCode").value_or("UNKNOWN") + ": " +
         event.text("errorMessage").value_or("");
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
      : options_(options), streams_(streams) {}

  int run(const std::string& client_path);

 private:
  // Streams the image; returns false once the helper stopped taking input.
  void stream_image(HelperProcess& helper, EventPump& pump, std::uint64_t size);
  void await_write_outcome(HelperProcess& helper, EventPump& pump);
  void verify(HelperProcess& helper, EventPump& pump);
  void end_session(HelperProcess& helper, EventPump& pump);
  // Sends one control frame; a failure means the helper has gone.
  bool send(HelperProcess& helper, const nlohmann::ordered_json& message);

  const ClientOptions& options_;
  const JobStreams& streams_;
  JobReport report_;
  bool abort_sent_ = false;
  bool write_succeeded_ = false;
  bool session_over_ = false;
};

bool WriteJob::send(HelperProcess& helper, const nlohmann::ordered_json& message) {
  return static_cast<bool>(helper.write_all(control_frame(message)));
}

void WriteJob::stream_image(HelperProcess& helper, EventPump& pump, std::uint64_t size) {
  UniqueFd image(::open(options_.image_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!image) {
    report_.fail_with("Could not reopen the image: " + os_error_text(errno));
  }
  std::vector<std::uint8_t> buffer(kMaxSourcePayload);
  std::uint64_t sent = 0;
  while (image && sent < size) {
    if (pump.session_failure_seen()) break;
    std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - sent));
    if (options_.cancel_after_bytes) {
      if (sent >= *options_.cancel_after_bytes) break;
      want = static_cast<std::size_t>(
          std::min<std::uint64_t>(want, *options_.cancel_after_bytes - sent));
    }
    std::size_t filled = 0;
    while (filled < want) {
      const ssize_t count = ::read(image.get(), buffer.data() + filled, want - filled);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      filled += static_cast<std::size_t>(count);
    }
    if (filled < want) {
      // The image changed under us; the helper's digest check would refuse
      // it anyway, so give the stream up cleanly.
      report_.fail_with("The image became shorter while it was being written.");
      break;
    }
    if (!helper.write_all(data_frame_head(filled)) ||
        !helper.write_all({reinterpret_cast<const char*>(buffer.data()), filled})) {
      return;  // the helper ended; its events say why
    }
    sent += filled;
  }
  if (sent == size && report_.failure.empty() && !pump.session_failure_seen()) {
    (void)helper.write_all(end_frame());
    return;
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
      const std::uint64_t bytes = event->number("bytesWritten").value_or(0);
      const std::uint64_t rate = event->number("writeSpeedBps").value_or(0);
      const std::uint64_t ms = event->number("writeDurationMs").value_or(0);
      report_.summary.push_back("Written:  " + format_bytes(bytes) + " in " +
                                std::to_string(ms) + " ms (" + format_bytes(rate) +
                                "/s)");
      return;
    }
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
  if (!send(helper, verify_message("verify-1"))) return;
  auto event = pump.next();
  if (!event) {
    session_over_ = true;
    report_.fail_with("The helper ended during verification.");
    return;
  }
  if (event->kind() == "verifyResult") {
    const bool matches = event->flag("matches").value_or(false);
    report_.summary.push_back("Verified: target sha256 " +
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
  if (!send(helper, simple_message(type, "end-1"))) return;
  auto event = pump.next();
  if (!event) {
    report_.fail_with("The helper ended before it answered " + type + ".");
    return;
  }
  const std::string kind = event->kind();
  if (kind == "released" || kind == "result") {
    report_.summary.push_back(std::string(kind == "released" ? "Released" : "Ejected") +
                              ": safe to remove");
  } else if (kind == "closed") {
    report_.summary.push_back("Closed:   data flushed, target left attached");
  } else {
    report_.fail_with("Ending the session with " + type +
                      " failed: " + event_failure(*event));
  }
}

int WriteJob::run(const std::string& client_path) {
  if (!options_.boot_files.empty()) {
    write_text_line(
        streams_.err_fd,
        "ravik-device-client: --boot-file is not available in this build: the helper "
        "cannot open boot partitions yet. Nothing was written.");
    return 1;
  }
  auto digest = digest_image(options_.image_path);
  if (!digest) {
    write_text_line(streams_.err_fd, "ravik-device-client: " + digest.error().message());
    return 1;
  }
  auto target = describe_target(options_.target_path);
  if (!target) {
    write_text_line(streams_.err_fd, "ravik-device-client: " + target.error().message());
    return 1;
  }
  report_.summary.push_back("Image:    " + options_.image_path + " (" +
                            format_bytes(digest->size_bytes) + ", sha256 " +
                            digest->sha256 + ")");
  report_.summary.push_back("Target:   " + target->fields.device_path + " (" +
                            (target->regular_file ? "regular file, " : "block device, ") +
                            format_bytes(target->fields.size_bytes) + ")");

  const std::string helper_path = options_.helper_path.value_or(
      default_helper_path(client_path, target->regular_file));
  auto helper = HelperProcess::start(helper_path);
  if (!helper) {
    write_text_line(streams_.err_fd, "ravik-device-client: " + helper.error().message());
    return 1;
  }
  ProgressDisplay display(streams_.err_fd, streams_.err_is_terminal);
  int helper_status = 0;
  {
    EventPump pump(*helper, display, options_.json ? streams_.out_fd : -1);
    const std::string job_id = "ravik-client-" + std::to_string(::getpid());
    OpenWriteFields fields{.ids = {job_id, job_id, job_id},
                           .target = target->fields,
                           .bytes_total = digest->size_bytes,
                           .sha256 = digest->sha256,
                           .tail_policy = options_.tail_policy,
                           .protected_prefix_bytes = options_.protected_prefix_bytes,
                           .allow_regular_file = target->regular_file};
    (void)send(*helper, open_write_message(fields));
    auto ready = pump.next();
    if (!ready || ready->kind() != "ready") {
      report_.fail_with(ready ? "The helper refused the target: " + event_failure(*ready)
                              : "The helper ended before it held the target.");
      session_over_ = true;
    } else {
      stream_image(*helper, pump, digest->size_bytes);
      await_write_outcome(*helper, pump);
      if (write_succeeded_ && options_.verify && !session_over_) verify(*helper, pump);
      if (!session_over_) end_session(*helper, pump);
    }
    helper->close_input();
    while (auto extra = pump.next()) {
      report_.fail_with("Unexpected helper event: " + extra->line);
    }
    helper_status = helper->wait();
  }
  if (helper_status != 0) {
    report_.fail_with("The helper exited with status " + std::to_string(helper_status) +
                      ".");
  }
  if (!options_.json) {
    for (const std::string& line : report_.summary)
      write_text_line(streams_.out_fd, line);
  }
  if (!report_.failure.empty()) {
    write_text_line(streams_.err_fd, "ravik-device-client: failed: " + report_.failure);
    return 1;
  }
  return 0;
}

}  // namespace

std::string default_helper_path(const std::string& client_path,
                                bool regular_file_target) {
  const std::size_t slash = client_path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : client_path.substr(0, slash);
  return directory + (regular_file_target ? "/ravik-unix-device-helper-testing"
                                          : "/ravik-unix-device-helper");
}

int run_write_job(const ClientOptions& options, const std::string& client_path,
                  const JobStreams& streams) {
  WriteJob job(options, streams);
  return job.run(client_path);
}

}  // namespace ravik::client
