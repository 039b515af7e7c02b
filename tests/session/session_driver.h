// SessionDriver: one testing helper running the device protocol as a child
// process over pipes, with a regular-file target and an image in a private
// temporary directory, and the expected event lines of the session built
// byte for byte.
//
// Only the values that depend on time or chance (rates, durations, the lease
// ID) are masked before lines are compared; everything else must match
// exactly. Thread-compatible: one test thread drives one session.
#ifndef RAVIK_TESTS_SESSION_SESSION_DRIVER_H_
#define RAVIK_TESTS_SESSION_SESSION_DRIVER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/pattern_bytes.h"
#include "support/sha256_hex.h"
#include "support/temp_dir.h"

namespace ravik::session_test {

inline constexpr std::uint64_t kMiB = 1024 * 1024;

using testing::sha256_hex;

// Replaces the values of speedBps, writeDurationMs, writeSpeedBps and leaseId
// with "*".
std::string mask_variable_values(const std::string& line);

// The expected text of common events, header included.
std::string header(const std::string& event);
std::string error_line(const std::optional<std::string>& operation_id,
                       const std::string& code, const std::string& message,
                       const std::optional<std::uint64_t>& bytes_written, bool retained);

class SessionDriver {
 public:
  // A target file of `target_size` zero bytes and an image of `image_size`.
  SessionDriver(std::uint64_t image_size, std::uint64_t target_size);
  // `image` as the image, a target of `target_size` zero bytes.
  SessionDriver(std::string image, std::uint64_t target_size);

  const std::string& image() const { return image_; }
  const std::string& target_path() const { return target_path_; }

  // Starts the testing helper with `environment` ("NAME=value") added;
  // aborts the test on failure.
  void start(const std::vector<std::string>& environment = {});
  harness::ChildProcess& child() { return *child_; }

  void send(const std::string& bytes);
  // open_write for the image; `sha256` replaces the image's own digest.
  std::string open_write_frame(const std::optional<std::string>& sha256 = {},
                               std::uint64_t protected_prefix = 0) const;
  std::string open_format_frame() const;
  // The image as 4 MiB data frames (no end frame).
  std::vector<std::string> image_frames() const;

  // The next line, masked; "<no line>" when none came in time.
  std::string next_line();
  // The next line that is not a progress event; counts the progress lines
  // skipped in `progress_seen`.
  std::string next_answer();
  std::size_t progress_seen = 0;

  // Expected lines of this session.
  std::string ready_line() const;
  std::string written_line(std::uint64_t protected_prefix = 0) const;

  // open_write, ready, the whole image and its end frame, written.
  void open_and_write();

  std::optional<harness::ExitStatus> wait() { return child_->wait(); }
  std::string stderr_text() const { return child_->stderr_text(); }

 private:
  harness::TempDir dir_;
  std::string image_;
  std::string target_path_;
  std::uint64_t target_size_;
  std::optional<harness::ChildProcess> child_;
};

}  // namespace ravik::session_test

#endif  // RAVIK_TESTS_SESSION_SESSION_DRIVER_H_
