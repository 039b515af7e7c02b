// The testing helper's file probe (RAVIK_TESTING_FILE_PROBE): the
// environment that asks a confined mode for it and the line it writes when
// the process's file-system layers refuse every attempt.
#ifndef RAVIK_TESTS_SUPPORT_FILE_PROBE_H_
#define RAVIK_TESTS_SUPPORT_FILE_PROBE_H_

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace ravik::testing {

// Why the file-system layers cannot be seen here, or nullptr.
inline const char* why_file_layers_are_not_seen() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return "sanitized helpers run without file-system layers";
#endif
  if (::geteuid() != 0) return "the probe's targets are root's files";
  // LANDLOCK_CREATE_RULESET_VERSION
  if (::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U) < 3) {
    return "the kernel offers no Landlock layers with truncation";
  }
  return nullptr;
}

// Owns a file in /root for the probe to try to append to.
class FileProbe {
 public:
  FileProbe() : append_file_("/root/ravik-file-probe-" + std::to_string(::getpid())) {
    std::ofstream(append_file_) << "unchanged\n";
  }
  FileProbe(const FileProbe&) = delete;
  FileProbe& operator=(const FileProbe&) = delete;
  ~FileProbe() { std::remove(append_file_.c_str()); }

  // `other_disk`: a disk the probe tries to open for writing, or "".
  std::vector<std::string> environment(const std::string& other_disk = "") const {
    return {"RAVIK_TESTING_FILE_PROBE=" + other_disk,
            "RAVIK_TESTING_FILE_PROBE_APPEND=" + append_file_};
  }

  // Every attempt of a device session refused; the disks are named when they
  // were tried. A mode change is refused as the session's file changes are.
  static std::string refused_line(bool other_disk, bool held_disk) {
    std::string line =
        "file probe: shadow=EACCES etc=EACCES tmp=EACCES append=EACCES chmod=EACCES";
    if (other_disk) line += " other-disk=EACCES";
    if (held_disk) line += " held-disk=EACCES held-disk-read=EACCES";
    return line + "\n";
  }

  // Every attempt of a maintenance, installer or lock mode refused; a mode
  // change is refused by the system-call filter.
  static std::string refused_mode_line() {
    return "file probe: shadow=EACCES etc=EACCES tmp=EACCES append=EACCES chmod=EPERM\n";
  }

 private:
  std::string append_file_;
};

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_SUPPORT_FILE_PROBE_H_
