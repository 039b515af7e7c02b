#include "confinement/confinement.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <seccomp.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>

#include "io/write_all.h"

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

}  // namespace
}  // namespace ravik
