#include "job/verify_job.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>

#include "error/byte_size.h"
#include "io/eintr.h"
#include "job/event_pump.h"
#include "job/foreground_terminal.h"
#include "job/image_digest.h"
#include "job/job_events.h"
#include "job/job_preparation.h"
#include "job/target_description.h"
#include "sudo_launcher/sudo_launcher.h"

namespace ravik::job {
namespace {

int refuse(JobObserver& observer, const std::string& text) {
  observer.notice(NoticeKind::kDiagnostic, "ravik-device-client: " + text);
  return 1;
}

// This verification again, as root through sudo (which asks on the
// terminal when this process has it), with the digest already known.
int verify_as_root(const JobOptions& options, const std::string& client_path,
                   const ImageDigest& image, JobObserver& observer) {
  char absolute[PATH_MAX];
  const std::string image_path =
      ::realpath(options.image_path.c_str(), absolute) != nullptr ? std::string(absolute)
                                                                  : options.image_path;
  std::vector<std::string> words = {std::string(sudo_launcher::kSudoPath)};
  if (ForegroundTerminal::acquire() == nullptr) words.emplace_back("-n");
  words.insert(words.end(), {"--", client_path, "verify", image_path, options.target_path,
                             "--sha256", image.sha256});
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned =
      ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  if (spawned != 0) {
    return refuse(observer, "could not run " + words[0] + ": " + os_error_text(spawned));
  }
  int status = 0;
  (void)retry_on_eintr([&] { return ::waitpid(pid, &status, 0); });
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The digest of the target's first `size` bytes, the pass shown on
// `observer`.
Result<ImageDigest> digest_target_shown(const std::string& device, std::uint64_t size,
                                        JobObserver& observer) {
  const std::unique_ptr<ProgressSink> display_owner = observer.new_progress();
  ProgressSink& display = *display_owner;
  const auto began = std::chrono::steady_clock::now();
  auto read =
      digest_file_prefix(device, size, "target", [&](std::uint64_t done, std::uint64_t) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began)
                .count();
        display.update({.stage = "VERIFY",
                        .done = done,
                        .total = size,
                        .bytes_per_second = static_cast<std::uint64_t>(
                            static_cast<double>(done) / std::max(elapsed, 1e-3))});
      });
  display.finish();
  return read;
}

}  // namespace

int run_verify_job(const JobOptions& given, const std::string& client_path,
                   JobObserver& observer) {
  auto target = describe_target(given.target_path);
  if (!target) return refuse(observer, target.error().message());
  // A piped image is kept whole: it is read more than once.
  JobOptions options = given;
  const std::uint64_t room = target->fields.size_bytes;
  auto spooled = spool_piped_image(options, room + room / 16);
  if (!spooled) return refuse(observer, spooled.error().message());
  if (*spooled) options.image_path = (*spooled)->path;
  double pass_seconds = 0;
  auto image = measure_shown(options, target->fields.size_bytes, observer, pass_seconds);
  if (!image) return refuse(observer, image.error().message());
  if (auto unfit = image_unfit(*image, {*target})) return refuse(observer, *unfit);
  const std::uint64_t size = image->size_bytes;
  if (!target->regular_file && ::geteuid() != 0 &&
      ::access(target->fields.device_path.c_str(), R_OK) != 0 && errno == EACCES) {
    if (*spooled) {
      return refuse(observer,
                    "a piped image is verified only by a client that may read " +
                        target->fields.device_path +
                        " itself; run it as root, or give the image as a file.");
    }
    return verify_as_root(options, client_path, *image, observer);
  }
  const std::string& expected = image->sha256;
  auto read = digest_target_shown(target->fields.device_path, size, observer);
  if (!read) return refuse(observer, read.error().message());
  if (read->size_bytes != size) {
    return refuse(observer, "the target ended before the image's length.");
  }
  if (read->sha256 != expected) {
    // A published digest is only what the image is said to be.
    const std::string against = image->origin == DigestOrigin::kPublished
                                    ? "the published digest (--sha256) is "
                                    : "the image to ";
    return refuse(observer, "VERIFY_MISMATCH: the target's first " + format_bytes(size) +
                                " hash to " + read->sha256 + ", " + against + expected +
                                ".");
  }
  observer.notice(NoticeKind::kResult, "Verified: target sha256 " + read->sha256 +
                                           " matches (" + format_bytes(size) + ")");
  return 0;
}

}  // namespace ravik::job
