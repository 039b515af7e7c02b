#include "main/command_line.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "confinement/file_confinement.h"
#include "error/safe_message.h"
#include "error/utf8.h"
#include "io/system_descriptors.h"
#include "io/write_all.h"
#include "main/cross_process_lock_hold.h"
#include "main/mode_maintenance.h"
#include "session/device_session.h"
#include "sudo_launcher/sudo_launcher.h"

namespace ravik {
namespace {

Result<void> write_standard_output(std::string_view text) {
  if (auto written = write_all(STDOUT_FILENO, text); !written) {
    return fail(written.error().to_helper_error(codes::kUnknown,
                                                "Could not write to standard output"));
  }
  return {};
}

// "UNKNOWN: The helper ran out of memory." without allocating.
void write_out_of_memory_line() {
  static constexpr std::string_view kLine = "UNKNOWN: The helper ran out of memory.\n";
  static_assert(kLine.substr(9, kOutOfMemoryMessage.size()) == kOutOfMemoryMessage);
  (void)write_all(STDERR_FILENO, kLine);
}

// An allocation failure that nothing caught (in a thread of its own, or on a
// path that may not throw) still ends the process with the final line of an
// UNKNOWN error and status 1 instead of an abort. Anything else is a defect
// and aborts as it would have.
[[noreturn]] void end_on_uncaught_exception() {
  if (const std::exception_ptr current = std::current_exception()) {
    try {
      std::rethrow_exception(current);
    } catch (const std::bad_alloc&) {
      write_out_of_memory_line();
      ::_exit(1);
    } catch (...) {
    }
  }
  std::abort();
}

// True when every literal of `pattern` (non-empty entries) equals the argument
// at its position; empty entries are value slots.
bool matches(std::span<const std::string_view> args,
             std::initializer_list<std::string_view> pattern) {
  if (args.size() != pattern.size()) return false;
  std::size_t index = 0;
  for (std::string_view literal : pattern) {
    if (!literal.empty() && args[index] != literal) return false;
    ++index;
  }
  return true;
}

// A descriptor 0, 1 or 2 that is closed at start would be handed out by the
// next open: the lock file or the disk would become "standard output" and
// receive status lines. Each closed one is filled with /dev/null opened the
// wrong way round (standard input write-only, the outputs read-only), so that
// using it still fails with EBADF exactly as the closed descriptor would have.
void occupy_closed_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int placeholder =
        ::open("/dev/null", (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    // The lowest free descriptor is `fd` itself, as the lower ones are open.
    if (placeholder >= 0 && placeholder != fd) ::close(placeholder);
  }
}

// Confines the process before the mode reads anything from its caller, so
// that the first untrusted byte already meets the reduced process. Where a
// step cannot be applied the mode runs as it is: nothing is reported.
void enter_mode(const BuildProfile& profile, ConfinedMode mode, FileScope files,
                std::string_view lock_file = {}) {
  if (!profile.confine_modes) return;
  (void)confine_process(mode);
  const MaintenanceLocation location = profile.maintenance_location();
  (void)confine_files(files, {.maintenance_base_directory = location.base_directory,
                              .maintenance_directory = location.directory_path(),
                              .lock_file = std::string(lock_file)});
  if (profile.after_confinement) profile.after_confinement(mode);
  if (profile.after_file_confinement && files != FileScope::kDeviceSessionStart) {
    profile.after_file_confinement("");
  }
}

// The device session's later moments: before the first frame no regular
// file may be written, once the request is validated only its node, once
// the disk is held only what the held device itself still opens remains
// reachable. The first two need the unmounting process (`unmounter`).
SessionConfinement session_confinement(const BuildProfile& profile, bool unmounter) {
  if (!profile.confine_modes) return {};
  SessionConfinement confinement{
      .lock_held = forbid_file_changes,
      .request_validated = nullptr,
      .disk_held =
          [](const HeldDeviceIo& device) {
            const HeldDeviceFiles files = device.files_opened_while_held();
            (void)confine_files_to_held_disk(files.release_attributes);
          },
      .image_written = nullptr};
  if (profile.after_file_confinement) {
    confinement.image_written =
        [probe = profile.after_file_confinement](const HeldDeviceIo& device) {
          probe(device.identity().device_path);
        };
  }
  if (!unmounter) return confinement;
  confinement.lock_held = [targets = profile.regular_file_target_directory,
                           controls = profile.release_controls] {
    forbid_file_changes();
    (void)confine_files_to_block_devices(targets, controls);
  };
  confinement.request_validated = [probe = profile.after_file_confinement,
                                   controls =
                                       profile.release_controls](std::string_view node) {
    (void)confine_files_to_named_node(node, controls);
    if (probe) probe("");
  };
  return confinement;
}

}  // namespace

HelperError usage_error() {
  return HelperError(codes::kProtocolError, std::string(kUsageText));
}

Result<void> dispatch_command_line(std::span<const std::string_view> args,
                                   const BuildProfile& profile) {
  const std::size_t count = args.size();
  // The sudo launcher alone stays unconfined: it must exec sudo, which must be
  // able to gain privileges.
  if (count == 0) {
    // Outlives the session, which it serves until the end.
    const std::shared_ptr<void> unmounter =
        profile.confine_modes && profile.start_unmounter
            ? profile.start_unmounter(profile.device_openers.policy)
            : nullptr;
    enter_mode(profile, ConfinedMode::kDeviceSession, FileScope::kDeviceSessionStart);
    return run_raw_protocol(profile.maintenance_location(), profile.device_openers,
                            session_confinement(profile, unmounter != nullptr));
  }
  if (count == 1 && args[0] == "--protocol-version") {
    enter_mode(profile, ConfinedMode::kLocalFiles, FileScope::kNothing);
    return write_standard_output(std::to_string(kProtocolVersion) + "\n");
  }
  if (count == 1 && args[0] == "--version") {
    enter_mode(profile, ConfinedMode::kLocalFiles, FileScope::kNothing);
    return write_standard_output(std::string(kHelperVersion) + "\n");
  }
  if (args[0] == "--launch-sudo") {
    return sudo_launcher::launch(args.subspan(1));
  }
  if (matches(args, {"--maintenance-provision"})) {
    enter_mode(profile, ConfinedMode::kLocalFiles, FileScope::kMaintenanceDirectory);
    return run_maintenance_provision_mode(profile);
  }
  if (matches(args, {"--cross-process-lock-hold", "--path", ""})) {
    enter_mode(profile, ConfinedMode::kCallerLockFile, FileScope::kCallerLockFile,
               args[2]);
    return run_cross_process_lock_hold(args[2]);
  }
  if (matches(args, {"--maintenance-hold", "", "--timeout-ms", ""})) {
    enter_mode(profile, ConfinedMode::kLocalFiles, FileScope::kMaintenanceDirectory);
    return run_maintenance_hold_mode(profile, args[1], args[3]);
  }
  if (matches(args,
              {"--maintenance-installer-end", "--protocol", "", "--lease-state", ""})) {
    enter_mode(profile, ConfinedMode::kInstallerClient, FileScope::kMaintenanceDirectory);
    return run_installer_end_mode(profile, args[2], args[4]);
  }
  if (matches(args, {"--maintenance-installer-assert-owner", "--protocol", "",
                     "--lease-state", "", "--owner-pid", ""})) {
    enter_mode(profile, ConfinedMode::kInstallerClient, FileScope::kMaintenanceDirectory);
    return run_installer_assert_owner_mode(profile, args[2], args[4], args[6]);
  }
  if (matches(args, {"--maintenance-installer-begin", "--protocol", "", "--lease-state",
                     "", "--owner-pid", "", "--timeout-ms", ""})) {
    enter_mode(profile, ConfinedMode::kInstallerBegin, FileScope::kMaintenanceDirectory);
    return run_installer_begin_mode(profile, args[2], args[4], args[6], args[8]);
  }
  enter_mode(profile, ConfinedMode::kLocalFiles, FileScope::kNothing);
  return fail(usage_error());
}

void write_failure_line(int fd, const HelperError& error) {
  std::string line(error.code().text());
  line += ": ";
  line += safe_message(error.message());
  line += "\n";
  (void)write_all(fd, line);
}

int run_helper(int argc, char** argv, const BuildProfile& profile) {
  // A write to a closed pipe must fail as EPIPE and be reported by the mode,
  // not end the process silently.
  ::signal(SIGPIPE, SIG_IGN);
  std::set_terminate(end_on_uncaught_exception);
  occupy_closed_standard_descriptors();
  // Descriptors the caller left open are not the helper's to hold: a root
  // process keeping a caller's pipe open hides the pipe's end from its
  // reader for as long as a disk is held, and sudo or any process started
  // later would receive them too. Nothing the helper does relies on one.
  close_descriptors_above_standard_error();

  try {
    std::vector<std::string_view> args;
    args.reserve(argc > 1 ? static_cast<std::size_t>(argc - 1) : 0);
    bool all_utf8 = true;
    for (int i = 1; i < argc; ++i) {
      args.emplace_back(argv[i]);
      all_utf8 = all_utf8 && is_valid_utf8(args.back());
    }

    Result<void> result = all_utf8 ? dispatch_command_line(args, profile)
                                   : Result<void>(fail(usage_error()));
    if (result) return 0;
    write_failure_line(STDERR_FILENO, result.error());
    return 1;
  } catch (const std::bad_alloc&) {
    // The mode's values were released on the way out, its holds included.
    write_out_of_memory_line();
    return 1;
  }
}

}  // namespace ravik
