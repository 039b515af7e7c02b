#include "maintenance/lock_test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "maintenance/maintenance_lock.h"
#include "support/child_process.h"

namespace ravik::testing {
namespace {

[[noreturn]] void die(const char* what, const std::string& path) {
  std::fprintf(stderr, "lock test support: %s %s: %s\n", what, path.c_str(),
               std::strerror(errno));
  std::abort();
}

}  // namespace

LockSandbox::LockSandbox() {
  if (::chmod(temp_.path().c_str(), 0755) != 0) die("cannot chmod", temp_.path());
  location_.base_directory = temp_.path();
  location_.directory_name = "ravik";
}

std::string LockSandbox::protected_directory() const {
  return location_.base_directory + "/" + location_.directory_name;
}

std::string LockSandbox::lock_file() const { return location_.lock_path(); }

void LockSandbox::provision() const {
  make_protected_directory(0755);
  make_lock_file(0666);
}

void LockSandbox::make_protected_directory(mode_t mode) const {
  const std::string path = protected_directory();
  if (::mkdir(path.c_str(), 0700) != 0) die("cannot create", path);
  if (::chmod(path.c_str(), mode) != 0) die("cannot chmod", path);
}

void LockSandbox::make_lock_file(mode_t mode) const {
  const std::string path = lock_file();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) die("cannot create", path);
  if (::fchmod(fd, mode) != 0) die("cannot chmod", path);
  ::close(fd);
}

std::optional<mode_t> mode_of(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return std::nullopt;
  return status.st_mode & 07777;
}

uid_t owner_of(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) die("cannot inspect", path);
  return status.st_uid;
}

std::string testing_helper_for_others(const harness::TempDir& copy_dir) {
  const std::string helper = harness::testing_helper_path();
  bool reachable = true;
  for (auto dir = std::filesystem::path(helper).parent_path();; dir = dir.parent_path()) {
    struct stat status {};
    if (::stat(dir.c_str(), &status) != 0 || (status.st_mode & S_IXOTH) == 0) {
      reachable = false;
      break;
    }
    if (dir == dir.parent_path()) break;
  }
  if (reachable) return helper;
  if (::chmod(copy_dir.path().c_str(), 0755) != 0) die("cannot chmod", copy_dir.path());
  const std::string copy = copy_dir.file("helper");
  std::filesystem::copy_file(helper, copy);
  if (::chmod(copy.c_str(), 0755) != 0) die("cannot chmod", copy);
  return copy;
}

int count_open_descriptors() {
  DIR* directory = ::opendir("/proc/self/fd");
  if (directory == nullptr) die("cannot open", "/proc/self/fd");
  int count = 0;
  while (const dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(directory);
  return count - 1;  // the directory stream's own descriptor
}

ForkedHolder::ForkedHolder(const MaintenanceLocation& location, MaintenanceMode mode,
                           std::optional<std::chrono::milliseconds> hold_for) {
  int ready[2];
  int release[2];
  if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) {
    die("cannot create pipes for", location.lock_path());
  }
  pid_ = ::fork();
  if (pid_ < 0) die("cannot fork for", location.lock_path());
  if (pid_ == 0) {
    ::close(ready[0]);
    ::close(release[1]);
    auto lock =
        MaintenanceLock::acquire_default(location, mode, MaintenanceTimeout::zero(),
                                         /*create_allowed=*/false);
    const char answer = lock ? '1' : '0';
    (void)!::write(ready[1], &answer, 1);
    if (hold_for) {
      ::usleep(static_cast<useconds_t>(hold_for->count() * 1000));
      ::_exit(0);
    }
    char ignored;
    while (::read(release[0], &ignored, 1) < 0 && errno == EINTR) {
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  release_pipe_ = release[1];
  char answer = '0';
  while (::read(ready[0], &answer, 1) < 0 && errno == EINTR) {
  }
  ::close(ready[0]);
  acquired_ = answer == '1';
}

ForkedHolder::~ForkedHolder() {
  if (release_pipe_ >= 0) ::close(release_pipe_);
  if (pid_ > 0) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

void ForkedHolder::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace ravik::testing
