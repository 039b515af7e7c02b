#include "session_driver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "job/messages.h"
#include "job/wire.h"

namespace ravik::session_test {

// Replaces what follows each `key` up to the first byte `stop_at` accepts
// with "*".
static std::string mask_after(std::string line, const std::string& key,
                              bool (*keep)(char)) {
  for (std::size_t at = line.find(key); at != std::string::npos;
       at = line.find(key, at + key.size())) {
    const std::size_t from = at + key.size();
    std::size_t to = from;
    while (to < line.size() && !keep(line[to])) ++to;
    line.replace(from, to - from, "*");
  }
  return line;
}

std::string mask_variable_values(const std::string& line) {
  const auto not_digit = [](char c) { return c < '0' || c > '9'; };
  const auto quote = [](char c) { return c == '"'; };
  std::string masked = line;
  for (const char* key :
       {"\"speedBps\":", "\"writeDurationMs\":", "\"writeSpeedBps\":"}) {
    masked = mask_after(masked, key, +not_digit);
  }
  return mask_after(masked, "\"leaseId\":\"", +quote);
}

std::string header(const std::string& event) {
  return R"({"event":")" + event +
         R"(","protocolVersion":1,"requestId":"req-1","sessionId":"ses-1","taskId":"task-1")";
}

std::string error_line(const std::optional<std::string>& operation_id,
                       const std::string& code, const std::string& message,
                       const std::optional<std::uint64_t>& bytes_written, bool retained) {
  std::string line = header("error");
  if (operation_id) line += R"(,"operationId":")" + *operation_id + "\"";
  line +=
      R"(,"ok":false,"errorCode":")" + code + R"(","errorMessage":")" + message + "\"";
  if (bytes_written) line += R"(,"bytesWritten":)" + std::to_string(*bytes_written);
  line += std::string(R"(,"sessionRetained":)") + (retained ? "true" : "false") + "}";
  return line;
}

SessionDriver::SessionDriver(std::uint64_t image_size, std::uint64_t target_size)
    : image_(testing::pattern_text(image_size)), target_size_(target_size) {
  target_path_ = dir_.write_file("target.img", std::string(target_size, '\0'));
}

SessionDriver::SessionDriver(std::string image, std::uint64_t target_size)
    : image_(std::move(image)), target_size_(target_size) {
  // Sparse, so that targets of any size cost nothing.
  target_path_ = dir_.write_file("target.img", "");
  EXPECT_EQ(::truncate(target_path_.c_str(), static_cast<off_t>(target_size)), 0);
}

void SessionDriver::start(const std::vector<std::string>& environment) {
  harness::ChildOptions options;
  options.stdin_mode = harness::StdinMode::kPipe;
  options.extra_environment = environment;
  auto child = harness::ChildProcess::start(harness::testing_helper_path(), {}, options);
  ASSERT_TRUE(child) << child.error();
  child_.emplace(std::move(child).value());
}

void SessionDriver::send(const std::string& bytes) {
  auto written = child_->write_stdin(bytes);
  ASSERT_TRUE(written) << written.error();
}

static job::TargetFields target_fields(const std::string& path, std::uint64_t size) {
  job::TargetFields target;
  target.device_id = "target.img";
  target.device_path = path;
  target.size_bytes = size;
  return target;
}

std::string SessionDriver::open_write_frame(const std::optional<std::string>& sha256,
                                            std::uint64_t protected_prefix) const {
  job::OpenWriteFields fields;
  fields.ids = {"req-1", "ses-1", "task-1"};
  fields.target = target_fields(target_path_, target_size_);
  fields.bytes_total = image_.size();
  fields.sha256 = sha256.value_or(sha256_hex(image_));
  fields.protected_prefix_bytes = protected_prefix;
  fields.allow_regular_file = true;
  return job::control_frame(job::open_write_message(fields));
}

std::string SessionDriver::open_format_frame() const {
  return job::control_frame(job::open_format_message(
      {"req-1", "ses-1", "task-1"}, target_fields(target_path_, target_size_), true));
}

std::vector<std::string> SessionDriver::image_frames() const {
  std::vector<std::string> frames;
  for (std::size_t at = 0; at < image_.size(); at += job::kMaxSourcePayload) {
    frames.push_back(
        job::data_frame(std::string_view(image_).substr(at, job::kMaxSourcePayload)));
  }
  return frames;
}

std::string SessionDriver::next_line() {
  auto line = child_->read_line();
  return line ? mask_variable_values(*line) : "<no line>";
}

std::string SessionDriver::next_answer() {
  while (true) {
    std::string line = next_line();
    if (!line.starts_with(R"({"event":"progress")")) return line;
    ++progress_seen;
  }
}

std::string SessionDriver::ready_line() const {
  return header("ready") + R"(,"target":{"platform":"linux","deviceId":"target.img",)" +
         R"("devicePath":")" + target_path_ + R"(","sizeBytes":)" +
         std::to_string(target_size_) +
         R"(,"removable":true,"writable":true,"mounted":false,"wholeDevice":true},)" +
         R"("logicalBlockSize":512,"maintenanceLease":{"mode":"shared","leaseId":"*"}})";
}

std::string SessionDriver::written_line(std::uint64_t protected_prefix) const {
  return header("written") + R"(,"bytesWritten":)" + std::to_string(image_.size()) +
         R"(,"targetBytesWritten":)" + std::to_string(image_.size()) +
         R"(,"sourceSha256":")" + sha256_hex(image_) +
         R"(","writeDurationMs":*,"writeSpeedBps":*,"flushCompleted":true,)" +
         R"("protectedPrefixBytes":)" + std::to_string(protected_prefix) +
         R"(,"protectedBodyVerified":true,)" + R"("protectedPrefixVerified":true})";
}

void SessionDriver::open_and_write() {
  start();
  send(open_write_frame());
  ASSERT_EQ(next_line(), ready_line());
  for (const std::string& frame : image_frames()) send(frame);
  send(job::end_frame());
  ASSERT_EQ(next_answer(), written_line());
}

}  // namespace ravik::session_test
