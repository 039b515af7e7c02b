// The testing helper: the production code paths plus the test-only powers
// (regular-file targets, loop devices as removable disks) and a maintenance
// directory inside the build tree. Never installed.
//
// Two environment variables reach this executable only: with
// RAVIK_TESTING_UNCONFINED set the modes run unconfined, for a test that
// needs more than a mode keeps; with RAVIK_TESTING_CONFINEMENT_PROBE set a
// confined device session first tries what its confinement must refuse and
// writes one line to standard error, "confinement probe:" followed by the
// error name each attempt got. With RAVIK_TESTING_FILE_PROBE set (to another
// disk's node, or empty) a confined mode tries, once its file access is
// narrowed (a device session once its request is validated and again after
// its image is written), to open "/etc/shadow" for writing, create a file in
// "/etc" and in "/tmp", append to the file RAVIK_TESTING_FILE_PROBE_APPEND
// names and change its mode, open the other disk, and open the held disk's
// node for writing and for reading, and writes one line to standard error,
// "file probe:" followed by each attempt's error name. Nothing is written: a
// file the probe could create is removed again.
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <string_view>

#include "io/write_all.h"
#include "main/command_line.h"
#include "platform/file/regular_file_device.h"
#include "platform/linux/disk_detach.h"
#include "platform/linux/open_linux_block_device.h"
#include "platform/linux/unmount_service.h"

namespace {

std::string outcome_of(bool succeeded) {
  if (succeeded) return "succeeded";
  if (errno == EACCES) return "EACCES";
  return errno == EPERM ? "EPERM" : "errno " + std::to_string(errno);
}

// Opens `path` with `flags`, closes it again (removing it when it was
// created) and names the outcome.
std::string open_outcome(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  const std::string outcome = outcome_of(fd >= 0);
  if (fd >= 0) {
    ::close(fd);
    if ((flags & O_CREAT) != 0) ::unlink(path.c_str());
  }
  return outcome;
}

void probe_file_confinement(std::string_view held_node) {
  const char* other_disk = std::getenv("RAVIK_TESTING_FILE_PROBE");
  if (other_disk == nullptr) return;
  const std::string created = "ravik-file-probe-" + std::to_string(::getpid());
  std::string line = "file probe:";
  line += " shadow=" + open_outcome("/etc/shadow", O_RDWR);
  line += " etc=" + open_outcome("/etc/" + created, O_WRONLY | O_CREAT | O_EXCL);
  line += " tmp=" + open_outcome("/tmp/" + created, O_WRONLY | O_CREAT | O_EXCL);
  const char* append = std::getenv("RAVIK_TESTING_FILE_PROBE_APPEND");
  if (append != nullptr) {
    line += " append=" + open_outcome(append, O_WRONLY | O_APPEND);
  }
  if (append != nullptr) {
    line += " chmod=" + outcome_of(::chmod(append, 0600) == 0);
  }
  if (*other_disk != '\0') line += " other-disk=" + open_outcome(other_disk, O_RDWR);
  if (!held_node.empty()) {
    line += " held-disk=" + open_outcome(std::string(held_node), O_RDWR);
    line += " held-disk-read=" + open_outcome(std::string(held_node), O_RDONLY);
  }
  line += "\n";
  (void)ravik::write_all(STDERR_FILENO, line);
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

// Where the tests make their regular-file targets: the temporary directory.
const char* regular_file_target_directory() {
  const char* configured = std::getenv("TMPDIR");
  return configured != nullptr && configured[0] == '/' ? configured : "/tmp";
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
      .start_unmounter = ravik::start_unmount_service,
      .release_controls = ravik::release_controls_of,
      .regular_file_target_directory = regular_file_target_directory(),
      .confine_modes = std::getenv("RAVIK_TESTING_UNCONFINED") == nullptr,
      .after_confinement = probe_confinement,
      .after_file_confinement = probe_file_confinement,
  };
  return ravik::run_helper(argc, argv, kProfile);
}
