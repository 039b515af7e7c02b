#include "sudo_launcher/sudo_launcher.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace ravik::sudo_launcher {
namespace {

// A process that already leads its own group (a session leader, for one, as
// when the application starts us detached) cannot make a new group: setpgid
// refuses with EPERM. It is already where the launch wants it to be.
Result<void> lead_own_process_group() {
  if (::setpgid(0, 0) == 0) return {};
  const int error = errno;
  if (error == EPERM && ::getpgrp() == ::getpid()) return {};
  return fail(HelperError::io(codes::kSudoLaunchFailed,
                              "Could not establish the sudo process group", error));
}

}  // namespace

CallerIds current_caller_ids() {
  return CallerIds{::getuid(), ::geteuid(), ::getgid(), ::getegid()};
}

Result<void> check_launch_request(const CallerIds& caller, std::size_t argument_count) {
  if (caller.real_uid == 0 || caller.effective_uid != caller.real_uid ||
      caller.effective_gid != caller.real_gid) {
    return fail(
        codes::kSudoLaunchDenied,
        "The sudo launcher requires an unprivileged caller with matching real and "
        "effective IDs.");
  }
  if (argument_count == 0) {
    return fail(codes::kProtocolError, "The sudo launcher requires sudo arguments.");
  }
  return {};
}

Result<void> exec_in_own_process_group(std::string_view program,
                                       std::span<const std::string_view> arguments) {
  std::vector<std::string> strings;
  strings.reserve(arguments.size() + 1);
  strings.emplace_back(program);
  for (const std::string_view argument : arguments) strings.emplace_back(argument);
  std::vector<char*> argv;
  argv.reserve(strings.size() + 1);
  for (std::string& text : strings) argv.push_back(text.data());
  argv.push_back(nullptr);

  RAVIK_RETURN_IF_ERROR(lead_own_process_group());

  // sudo and the command it runs must see a closed pipe the ordinary way;
  // ignoring SIGPIPE is this helper's own choice and would survive exec.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  struct sigaction previous {};
  ::sigaction(SIGPIPE, &default_action, &previous);
  ::execv(argv[0], argv.data());
  const int error = errno;
  // Still the helper: its failure line must not turn into a silent SIGPIPE
  // death when standard error is a closed pipe.
  ::sigaction(SIGPIPE, &previous, nullptr);
  return fail(HelperError::io(codes::kSudoLaunchFailed,
                              "Could not execute " + std::string(program), error));
}

Result<void> launch(std::span<const std::string_view> arguments) {
  RAVIK_RETURN_IF_ERROR(check_launch_request(current_caller_ids(), arguments.size()));
  return exec_in_own_process_group(kSudoPath, arguments);
}

}  // namespace ravik::sudo_launcher
