#include "confinement/confinement.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <seccomp.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "confinement/file_confinement.h"
#include "io/unique_fd.h"
#include "io/write_all.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

// A check made inside the confined child.
struct Check {
  const char* what;
  std::function<bool()> holds;
};

bool fails_with(long result, int error) { return result == -1 && errno == error; }

// The value of `field` in /proc/self/status, e.g. "CapEff".
std::string status_field(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":"))
      return line.substr(line.find_first_not_of(" \t", field.size() + 1));
  }
  return "";
}

bool forks_and_child_exits() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status);
}

bool starts_a_thread() {
  bool ran = false;
  std::thread([&ran] { ran = true; }).join();
  return ran;
}

// Confines a forked child for `mode`, runs `checks` there, and returns "" or
// the name of the first check that did not hold.
std::string run_confined(ConfinedMode mode, std::initializer_list<Check> checks) {
  int ends[2];
  if (::pipe(ends) != 0) return "pipe";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ends[0]);
    const ConfinementOutcome outcome = confine_process(mode);
    std::string failed;
    if (!outcome.no_new_privileges || !outcome.capabilities_reduced ||
        !outcome.filter_installed) {
      failed = "every step applied";
    }
    for (const Check& check : checks) {
      if (failed.empty() && !check.holds()) failed = check.what;
    }
    (void)write_all(ends[1], failed);
    ::_exit(0);
  }
  ::close(ends[1]);
  std::string failed;
  char buffer[256];
  for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;)
    failed.append(buffer, got);
  ::close(ends[0]);
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return "child ended";
  return failed;
}

class ConfinementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!system_call_filter_supported()) GTEST_SKIP() << "no filter in sanitized builds";
    if (::geteuid() != 0) GTEST_SKIP() << "the capability sets are those of root";
  }
};

// A misspelt name would be skipped as a call this architecture lacks; on
// x86-64 every one of them exists.
TEST(RefusedSystemCalls, EveryNameIsASystemCallOfX86_64) {
#if !defined(__x86_64__)
  GTEST_SKIP() << "other architectures lack some of the older calls";
#endif
  for (const std::string_view name : refused_system_calls()) {
    EXPECT_GE(seccomp_syscall_resolve_name(std::string(name).c_str()), 0) << name;
  }
}

TEST_F(ConfinementTest, LocalFiles_NoCapabilitiesNoProcessesNoSockets) {
  EXPECT_EQ(
      run_confined(
          ConfinedMode::kLocalFiles,
          {{"NoNewPrivs", [] { return status_field("NoNewPrivs") == "1"; }},
           {"Seccomp", [] { return status_field("Seccomp") == "2"; }},
           {"CapEff", [] { return status_field("CapEff") == "0000000000000000"; }},
           {"CapBnd", [] { return status_field("CapBnd") == "0000000000000000"; }},
           // Unfiltered, peeking into an untraced process is ESRCH.
           {"ptrace",
            [] {
              return fails_with(::ptrace(PTRACE_PEEKDATA, ::getppid(), 0, 0), EPERM);
            }},
           {"fork", [] { return fails_with(::fork(), EPERM); }},
           {"threads", starts_a_thread},
           {"socket",
            [] { return fails_with(::socket(AF_UNIX, SOCK_STREAM, 0), EPERM); }},
           {"umount2", [] { return fails_with(::umount2("/nonexistent", 0), EPERM); }},
           {"unshare", [] { return fails_with(::unshare(0), EPERM); }}}),
      "");
}

TEST_F(ConfinementTest, DeviceSession_KeepsUnmountOnly) {
  const std::string kept = "0000000000200000";
  static_assert(1 << CAP_SYS_ADMIN == 0x200000);
  EXPECT_EQ(
      run_confined(
          ConfinedMode::kDeviceSession,
          {{"CapEff", [&] { return status_field("CapEff") == kept; }},
           {"CapPrm", [&] { return status_field("CapPrm") == kept; }},
           {"CapBnd", [&] { return status_field("CapBnd") == kept; }},
           // Reaches the kernel, which finds no such mount point.
           {"umount2", [] { return fails_with(::umount2("/nonexistent", 0), ENOENT); }},
           {"socket",
            [] { return fails_with(::socket(AF_UNIX, SOCK_STREAM, 0), EPERM); }},
           {"fork", [] { return fails_with(::fork(), EPERM); }}}),
      "");
}

TEST_F(ConfinementTest, CallerLockFile_OpensAsRootThenKeepsNothing) {
  static_assert((1 << CAP_DAC_OVERRIDE | 1 << CAP_DAC_READ_SEARCH | 1 << CAP_SETPCAP) ==
                0x106);
  EXPECT_EQ(run_confined(
                ConfinedMode::kCallerLockFile,
                {{"CapEff", [] { return status_field("CapEff") == "0000000000000106"; }},
                 {"CapBnd", [] { return status_field("CapBnd") == "0000000000000106"; }},
                 {"dropped",
                  [] {
                    drop_capabilities();
                    return status_field("CapEff") == "0000000000000000" &&
                           status_field("CapPrm") == "0000000000000000" &&
                           status_field("CapBnd") == "0000000000000000";
                  }}}),
            "");
}

TEST_F(ConfinementTest, InstallerBegin_ForksOnceThenTheChildCannot) {
  EXPECT_EQ(
      run_confined(
          ConfinedMode::kInstallerBegin,
          {{"fork", forks_and_child_exits},
           {"unix socket", [] { return ::socket(AF_UNIX, SOCK_STREAM, 0) >= 0; }},
           {"inet socket",
            [] { return fails_with(::socket(AF_INET, SOCK_STREAM, 0), EPERM); }},
           {"execve",
            [] { return fails_with(::execl("/bin/true", "true", nullptr), EPERM); }},
           {"forbidden fork",
            [] {
              confine_forked_child();
              return fails_with(::fork(), EPERM) && starts_a_thread();
            }}}),
      "");
}

TEST_F(ConfinementTest, FileChanges_RefusedOnceTheSessionHoldsItsLock) {
  const harness::TempDir scratch;
  const std::string file = scratch.path() + "/file";
  ASSERT_TRUE(std::ofstream(file) << "x");
  EXPECT_EQ(
      run_confined(
          ConfinedMode::kDeviceSession,
          {{"layer",
            [] {
              forbid_file_changes();
              return true;
            }},
           {"open existing",
            [&] { return UniqueFd(::open(file.c_str(), O_RDWR)).get() >= 0; }},
           {"create",
            [&] {
              return fails_with(::open((file + "2").c_str(), O_WRONLY | O_CREAT, 0600),
                                EACCES);
            }},
           {"truncate open",
            [&] { return fails_with(::open(file.c_str(), O_WRONLY | O_TRUNC), EACCES); }},
           {"rename",
            [&] {
              return fails_with(::rename(file.c_str(), (file + "3").c_str()), EACCES);
            }},
           {"link",
            [&] {
              return fails_with(::link(file.c_str(), (file + "4").c_str()), EACCES);
            }},
           {"unlink", [&] { return fails_with(::unlink(file.c_str()), EACCES); }},
           {"chmod", [&] { return fails_with(::chmod(file.c_str(), 0666), EACCES); }},
           {"chown", [&] { return fails_with(::chown(file.c_str(), 1, 1), EPERM); }},
           {"truncate",
            [&] { return fails_with(::truncate(file.c_str(), 0), EACCES); }}}),
      "");
}

// The file-system layers need a kernel that offers them.
class FileConfinementTest : public ConfinementTest {
 protected:
  void SetUp() override {
    ConfinementTest::SetUp();
    if (IsSkipped()) return;
    if (file_confinement_abi() < 3) GTEST_SKIP() << "no Landlock with truncation here";
    ASSERT_TRUE(std::ofstream(node_) << "disk");
    ASSERT_TRUE(std::ofstream(attribute_) << "0");
    ASSERT_TRUE(std::ofstream(other_) << "other");
  }
  const harness::TempDir scratch_;
  const std::string node_ = scratch_.path() + "/node";
  const std::string attribute_ = scratch_.path() + "/delete";
  const std::string other_ = scratch_.path() + "/other";
};

bool opens(const std::string& path, int flags) {
  return UniqueFd(::open(path.c_str(), flags | O_CLOEXEC, 0600)).get() >= 0;
}

bool denied(const std::string& path, int flags) {
  return fails_with(::open(path.c_str(), flags | O_CLOEXEC, 0600), EACCES);
}

// The release controls the tests' disks have: the scratch "delete" file.
std::string* release_attribute = nullptr;
std::vector<std::string> scratch_release_controls(std::string_view) {
  return {*release_attribute};
}

TEST_F(FileConfinementTest, DeviceSession_BlockDevicesThenTheNamedNodeOnly) {
  std::string attribute = attribute_;
  release_attribute = &attribute;
  const std::string targets = scratch_.path() + "/targets";
  ASSERT_EQ(::mkdir(targets.c_str(), 0700), 0);
  const std::string named = targets + "/named";
  const std::string unnamed = targets + "/unnamed";
  ASSERT_TRUE(std::ofstream(named) << "disk");
  ASSERT_TRUE(std::ofstream(unnamed) << "disk");
  EXPECT_EQ(
      run_confined(
          ConfinedMode::kDeviceSession,
          {{"first layer",
            [&] {
              return confine_files_to_block_devices(targets, scratch_release_controls);
            }},
           {"target", [&] { return opens(unnamed, O_RDWR); }},
           {"attribute", [&] { return opens(attribute_, O_WRONLY); }},
           {"other file", [&] { return denied(other_, O_WRONLY); }},
           {"other file read", [&] { return denied(other_, O_RDONLY); }},
           {"device read", [] { return opens("/dev/null", O_RDONLY); }},
           {"character device", [] { return denied("/dev/null", O_WRONLY); }},
           {"sysfs read",
            [] { return opens("/sys/class/block", O_RDONLY | O_DIRECTORY); }},
           {"proc read", [] { return opens("/proc/self/mountinfo", O_RDONLY); }},
           {"second layer",
            [&] { return confine_files_to_named_node(named, scratch_release_controls); }},
           {"named", [&] { return opens(named, O_RDWR); }},
           {"unnamed", [&] { return denied(unnamed, O_RDWR); }},
           {"attribute again", [&] { return opens(attribute_, O_WRONLY); }},
           {"device read again", [] { return denied("/dev/null", O_RDONLY); }},
           {"proc read again", [] { return opens("/proc/self/mountinfo", O_RDONLY); }}}),
      "");
}

TEST_F(FileConfinementTest, HeldDisk_OpensNoNodeWritesItsReleaseAttributesOnly) {
  const std::vector<std::string> attributes = {attribute_};
  EXPECT_EQ(
      run_confined(
          ConfinedMode::kDeviceSession,
          {{"layer", [&] { return confine_files_to_held_disk(attributes); }},
           {"node read", [&] { return denied(node_, O_RDONLY); }},
           {"node write", [&] { return denied(node_, O_RDWR); }},
           {"attribute write", [&] { return opens(attribute_, O_WRONLY); }},
           {"attribute read", [&] { return denied(attribute_, O_RDONLY); }},
           {"attribute truncate",
            [&] { return fails_with(::truncate(attribute_.c_str(), 0), EACCES); }},
           {"other file", [&] { return denied(other_, O_RDONLY); }},
           {"create",
            [&] { return denied(scratch_.path() + "/new", O_WRONLY | O_CREAT); }},
           {"rename",
            [&] {
              return fails_with(::rename(other_.c_str(), (other_ + "2").c_str()), EACCES);
            }},
           {"link",
            [&] {
              return fails_with(::link(other_.c_str(), (other_ + "3").c_str()), EACCES);
            }},
           {"unlink", [&] { return fails_with(::unlink(other_.c_str()), EACCES); }},
           {"symlink",
            [&] {
              return fails_with(::symlink("/etc", (scratch_.path() + "/l").c_str()),
                                EACCES);
            }},
           {"device", [] { return denied("/dev/null", O_WRONLY); }},
           {"sysfs read",
            [] { return opens("/sys/class/block", O_RDONLY | O_DIRECTORY); }},
           {"proc read", [] { return opens("/proc/self/mountinfo", O_RDONLY); }}}),
      "");
}

TEST_F(FileConfinementTest, Maintenance_ItsOwnDirectoryOnly) {
  const std::string directory = scratch_.path() + "/ravik";
  ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
  const FileScopePaths paths{.maintenance_base_directory = scratch_.path(),
                             .maintenance_directory = directory,
                             .lock_file = ""};
  EXPECT_EQ(
      run_confined(
          ConfinedMode::kLocalFiles,
          {{"layer",
            [&] { return confine_files(FileScope::kMaintenanceDirectory, paths); }},
           {"own file", [&] { return opens(directory + "/lock", O_RDWR | O_CREAT); }},
           {"publish",
            [&] {
              return ::rename((directory + "/lock").c_str(),
                              (directory + "/lock2").c_str()) == 0 &&
                     ::unlink((directory + "/lock2").c_str()) == 0;
            }},
           {"subdirectory",
            [&] {
              return fails_with(::mkdir((directory + "/d").c_str(), 0700), EACCES);
            }},
           {"beside", [&] { return denied(other_, O_RDWR); }},
           {"base create",
            [&] { return denied(scratch_.path() + "/new", O_WRONLY | O_CREAT); }},
           {"random", [] { return opens("/dev/urandom", O_RDONLY); }},
           {"random write", [] { return denied("/dev/urandom", O_WRONLY); }},
           {"etc", [] { return denied("/etc/hostname", O_RDONLY); }}}),
      "");
}

TEST_F(FileConfinementTest, CallerLockFile_ThatFileThenNothing) {
  const FileScopePaths paths{
      .maintenance_base_directory = "", .maintenance_directory = "", .lock_file = node_};
  EXPECT_EQ(
      run_confined(
          ConfinedMode::kCallerLockFile,
          {{"layer", [&] { return confine_files(FileScope::kCallerLockFile, paths); }},
           {"other", [&] { return denied(other_, O_RDONLY); }},
           {"lock file", [&] { return opens(node_, O_RDWR); }},
           {"closed",
            [&] {
              close_file_access();
              return denied(node_, O_RDWR);
            }}}),
      "");
}

TEST_F(FileConfinementTest, CallerLockFile_NamedThroughALinkGrantsNothing) {
  const std::string link = scratch_.path() + "/link";
  ASSERT_EQ(::symlink(other_.c_str(), link.c_str()), 0);
  const FileScopePaths paths{
      .maintenance_base_directory = "", .maintenance_directory = "", .lock_file = link};
  EXPECT_EQ(
      run_confined(
          ConfinedMode::kCallerLockFile,
          {{"layer", [&] { return confine_files(FileScope::kCallerLockFile, paths); }},
           {"link target", [&] { return denied(other_, O_RDWR); }}}),
      "");
}

}  // namespace
}  // namespace ravik
