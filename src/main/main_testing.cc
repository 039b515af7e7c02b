// The testing helper: the production code paths plus the test-only powers
// (regular-file targets, loop devices as removable disks) and a maintenance
// directory inside the build tree. Never installed.
//
// Two environment variables reach this executable only: with
// RAVIK_TESTING_UNCONFINED set the modes run unconfined, for a test that
// needs more than a mode keeps; with RAVIK_TESTING_CONFINEMENT_PROBE set a
// confined device session first tries what its confinement must refuse and
// writes one line to standard error, "confinement probe:" followed by the
// error name each attempt got.
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "io/write_all.h"
#include "main/command_line.h"
#include "platform/file/regular_file_device.h"
#include "platform/linux/open_linux_block_device.h"

namespace {

std::string outcome_of(bool succeeded) {
  if (succeeded) return "succeeded";
  return errno == EPERM ? "EPERM" : "errno " + std::to_string(errno);
}

void probe_confinement(ravik::ConfinedMode mode) {
#if defined(__linux__)
  if (mode != ravik::ConfinedMode::kDeviceSession ||
      std::getenv("RAVIK_TESTING_CONFINEMENT_PROBE") == nullptr) {
    return;
  }
  std::string line = "confinement probe:";
  char program[] = "/bin/true";
  char* const argv[] = {program, nullptr};
  char* const envp[] = {nullptr};
  // Succeeding would end the session as /bin/true, which the test sees.
  line += " execve=" + outcome_of(::execve(program, argv, envp) == 0);
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  if (child > 0) (void)::waitpid(child, nullptr, 0);
  line += " fork=" + outcome_of(child >= 0);
  // Unfiltered, peeking into a process this one does not trace is ESRCH.
  line += " ptrace=" +
          outcome_of(::ptrace(PTRACE_PEEKDATA, ::getppid(), nullptr, nullptr) != -1);
  line += " init_module=" + outcome_of(::syscall(SYS_init_module, nullptr, 0, "") == 0);
  line += "\n";
  (void)ravik::write_all(STDERR_FILENO, line);
#else
  (void)mode;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  static const ravik::BuildProfile kProfile{
      .maintenance_base_directory = RAVIK_TESTING_ROOT,
      .maintenance_directory_name = "ravik",
      .device_openers = {.platform = ravik::PlatformName::kLinux,
                         .policy = {.treat_loop_devices_as_removable = true},
                         .block_device = ravik::open_block_device,
                         .regular_file = ravik::open_regular_file_target},
      .confine_modes = std::getenv("RAVIK_TESTING_UNCONFINED") == nullptr,
      .after_confinement = probe_confinement,
  };
  return ravik::run_helper(argc, argv, kProfile);
}
