#include "job/elevation.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "io/eintr.h"
#include "sudo_launcher/sudo_launcher.h"

namespace ravik::job {

std::vector<std::string> sudo_launch_arguments(const std::string& helper_path,
                                               bool interactive) {
  std::vector<std::string> arguments = {"--launch-sudo"};
  // Without a terminal to ask on, sudo would fail with a less helpful
  // complaint, or, in the background, stop on the terminal and never return.
  if (!interactive) arguments.emplace_back("-n");
  arguments.emplace_back("--");
  arguments.push_back(helper_path);
  return arguments;
}

namespace {

std::atomic<bool> rights_granted{false};

Result<void> check_sudo_runnable() {
  const std::string sudo(sudo_launcher::kSudoPath);
  if (::access(sudo.c_str(), X_OK) != 0) {
    return fail(codes::kSudoLaunchFailed,
                "The target can only be written as root, and " + sudo +
                    ", which would start the helper as root, cannot be run: " +
                    os_error_text(errno) +
                    ". Run ravik-device-client as root. Nothing was written.");
  }
  return {};
}

Result<void> check_pkexec_runnable() {
  const std::string pkexec(kPkexecPath);
  if (::access(pkexec.c_str(), X_OK) != 0) {
    return fail(codes::kSudoLaunchFailed,
                "The target can only be written as root, and " + pkexec +
                    ", which would start the helper as root, cannot be run: " +
                    os_error_text(errno) + ". Nothing was written.");
  }
  return {};
}

}  // namespace

Elevation chosen_elevation(Elevation asked) {
  if (asked != Elevation::kAuto) return asked;
  if (ForegroundTerminal::acquire() != nullptr) return Elevation::kSudo;
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const bool graphical =
      (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
  return graphical ? Elevation::kPkexec : Elevation::kSudo;
}

Result<void> elevate_once(Elevation elevation) {
  if (chosen_elevation(elevation) == Elevation::kPkexec) return check_pkexec_runnable();
  RAVIK_RETURN_IF_ERROR(check_sudo_runnable());
  const std::string sudo(sudo_launcher::kSudoPath);
  std::vector<std::string> words = {sudo, "-v"};
  if (ForegroundTerminal::acquire() == nullptr) words.insert(words.begin() + 1, "-n");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned =
      ::posix_spawn(&pid, sudo.c_str(), nullptr, nullptr, argv.data(), environ);
  int status = 0;
  if (spawned == 0) {
    (void)retry_on_eintr([&] { return ::waitpid(pid, &status, 0); });
  }
  if (spawned != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return fail(
        codes::kSudoLaunchFailed,
        "sudo did not grant the root rights a write to a disk needs" +
            std::string(spawned != 0 ? ": " + os_error_text(spawned) : " (see above)") +
            ". Nothing was written.");
  }
  rights_granted = true;
  return {};
}

Result<HelperProcess> start_helper_for_target(const std::string& helper_path,
                                              bool regular_file_target,
                                              Elevation elevation) {
  if (regular_file_target || ::geteuid() == 0) return HelperProcess::start(helper_path);
  // sudo and pkexec run, and a sudoers rule or polkit action names, an
  // absolute path.
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(helper_path, error);
  const std::string command = error ? helper_path : absolute.lexically_normal().string();
  if (chosen_elevation(elevation) == Elevation::kPkexec) {
    if (auto runnable = check_pkexec_runnable(); !runnable) return fail(runnable.error());
    HelperLaunch through_pkexec;
    through_pkexec.arguments = {command};
    through_pkexec.elevated = true;
    return HelperProcess::start(std::string(kPkexecPath), std::move(through_pkexec));
  }
  if (auto runnable = check_sudo_runnable(); !runnable) return fail(runnable.error());
  HelperLaunch launch;
  if (!rights_granted) launch.terminal = ForegroundTerminal::acquire();
  launch.arguments = sudo_launch_arguments(command, launch.terminal != nullptr);
  launch.own_process_group = true;
  launch.elevated = true;
  return HelperProcess::start(helper_path, std::move(launch));
}

}  // namespace ravik::job
