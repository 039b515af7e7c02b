// ravik-device-client: writes a disk image through the device helper.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/client_options.h"
#include "cli/terminal_observer.h"
#include "job/backup_job.h"
#include "job/capacity_check.h"
#include "job/clone_job.h"
#include "job/disk_listing.h"
#include "job/event_pump.h"
#include "job/multi_write_job.h"
#include "job/signal_relay.h"
#include "job/verify_job.h"
#include "job/write_job.h"

namespace {

// The path of this executable, so that the helper beside it can be found
// whatever the working directory.
std::string self_path(const char* argv0) {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length > 0) return std::string(buffer, static_cast<std::size_t>(length));
  return argv0;
}

// Every byte the user asked for reached standard output, or the run fails
// and says so: a summary or a boot file lost to a full disk or a closed pipe
// is not a success.
int finish_standard_output(int status) {
  int error = ravik::job::standard_output_error();
  if (error == 0 && ::close(STDOUT_FILENO) != 0 && errno != EBADF) error = errno;
  if (error == 0) return status;
  const std::string text = "ravik-device-client: could not write standard output: " +
                           ravik::os_error_text(error) + "\n";
  ravik::job::write_output(STDERR_FILENO, text);
  return status == 0 ? 1 : status;
}

int run(int argc, char** argv) {
  // A helper that ended must show up as a failed write, not kill the client.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string_view> args(argv + 1, argv + argc);
  auto parsed = ravik::cli::parse_client_command_line(args);
  if (!parsed.options && parsed.error.empty()) {
    ravik::job::write_output(STDOUT_FILENO, parsed.requested_text);
    return 0;
  }
  if (!parsed.options) {
    const std::string text = "ravik-device-client: " + parsed.error +
                             "\nRun ravik-device-client --help for the commands.\n";
    ravik::job::write_output(STDERR_FILENO, text);
    return 2;
  }
  ravik::cli::TerminalObserver observer(*parsed.options, STDOUT_FILENO, STDERR_FILENO,
                                        ::isatty(STDERR_FILENO) == 1);
  switch (parsed.options->command) {
    case ravik::job::ClientCommand::kVerify:
      return ravik::job::run_verify_job(*parsed.options, self_path(argv[0]), observer);
    case ravik::job::ClientCommand::kList:
      return ravik::job::run_list_disks(*parsed.options, observer);
    case ravik::job::ClientCommand::kBackup:
      return ravik::job::run_backup_job(*parsed.options, self_path(argv[0]), observer);
    case ravik::job::ClientCommand::kCheck:
      return ravik::job::run_check_job(*parsed.options, self_path(argv[0]), observer);
    case ravik::job::ClientCommand::kWrite:
    case ravik::job::ClientCommand::kRecover:
      break;
  }
  ravik::job::JobOptions& options = *parsed.options;
  if (options.check_capacity) {
    const int checked = ravik::job::run_check_job(options, self_path(argv[0]), observer);
    if (checked != 0) return checked;
    // The check asked before it erased the disks.
    options.assume_yes = true;
  }
  struct stat image = {};
  if (::stat(options.image_path.c_str(), &image) == 0 && S_ISBLK(image.st_mode)) {
    return ravik::job::run_clone_job(options, self_path(argv[0]), observer);
  }
  if (!options.more_target_paths.empty()) {
    return ravik::job::run_multi_write_job(options, self_path(argv[0]), observer);
  }
  return ravik::job::run_write_job(options, self_path(argv[0]), observer);
}

}  // namespace

int main(int argc, char** argv) {
  const auto began = std::chrono::steady_clock::now();
  int status = run(argc, argv);
  // Someone who left a long job to run hears that it ended.
  constexpr std::chrono::seconds kLongJob{30};
  if (::isatty(STDERR_FILENO) == 1 &&
      std::chrono::steady_clock::now() - began >= kLongJob) {
    ravik::job::write_output(STDERR_FILENO, "\a");
  }
  // The shell's convention for a run the user interrupted.
  if (status != 0 && ravik::job::signal_relay::interrupted()) status = 128 + SIGINT;
  return finish_standard_output(status);
}
