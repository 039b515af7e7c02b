// The launcher as a process: the helper really becomes /usr/bin/sudo, and the
// exec path is driven to success and failure through a probe that calls it
// with a program the test chooses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/nobody.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

using harness::ChildOptions;
using harness::ChildProcess;
using harness::Completed;
using harness::ExitStatus;

using testing::kNobodyGid;
using testing::kNobodyUid;
constexpr uid_t kDaemon = 1;
constexpr gid_t kDaemonGroup = 1;

const std::string kDeniedLine =
    "SUDO_LAUNCH_DENIED: The sudo launcher requires an unprivileged caller with matching "
    "real and effective IDs.\n";

// Prints the shell's PID and process group, then its ignored-signal mask,
// then its arguments one per line.
const std::string kReportScript =
    "read -r pid comm state ppid pgrp rest < /proc/$$/stat; echo \"$$ $pgrp\"; "
    "grep '^SigIgn' /proc/$$/status; for a in \"$@\"; do echo \"[$a]\"; done";

Completed run(const std::string& path, const std::vector<std::string>& args,
              const ChildOptions& options = {}) {
  Result<Completed> done = harness::run_child(path, args, options);
  EXPECT_TRUE(done) << done.error();
  return done ? *done : Completed{};
}

std::string probe() { return harness::bin_path("sudo_exec_probe"); }

void require_root() {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(SudoExecTest, Success_ReplacesTheProcessInItsOwnGroupWithDefaultSigpipe) {
  Result<ChildProcess> started = ChildProcess::start(
      probe(), {"/bin/sh", "-c", kReportScript, "sh", "--version", "", "two words"});
  ASSERT_TRUE(started) << started.error();
  ChildProcess child = std::move(*started);
  const std::string pid = std::to_string(child.pid());
  EXPECT_EQ(
      child.read_stdout_to_end(),
      pid + " " + pid + "\nSigIgn:\t0000000000000000\n[--version]\n[]\n[two words]\n");
  EXPECT_EQ(child.wait(), ExitStatus::exited_with(0));
  EXPECT_NE(::getpgrp(), child.pid());
}

TEST(SudoExecTest, SessionLeader_IsAlreadyInItsOwnGroupAndLaunches) {
  const Completed done = run("/usr/bin/setsid", {probe(), "/bin/sh", "-c",
                                                 "read -r pid comm state ppid pgrp "
                                                 "sid rest < /proc/$$/stat; "
                                                 "test $$ = $pgrp && test $$ = $sid "
                                                 "&& echo leader"});
  EXPECT_EQ(done.stdout_text, "leader\n");
  EXPECT_EQ(done.stderr_text, "");
  EXPECT_EQ(done.status, ExitStatus::exited_with(0));
}

TEST(SudoExecTest, MissingProgram_FailsWithTheExecContextAndKeepsSigpipeIgnored) {
  const Completed done = run(probe(), {"/nonexistent/usr/bin/sudo", "-V"});
  EXPECT_EQ(
      done.stdout_text,
      "SUDO_LAUNCH_FAILED: Could not execute /nonexistent/usr/bin/sudo: No such file "
      "or directory (os error 2)\nSIGPIPE ignored\n");
  EXPECT_EQ(done.status, ExitStatus::exited_with(1));
}

TEST(SudoExecTest, ProgramWithoutExecutePermission_FailsWithTheExecContext) {
  const harness::TempDir dir;
  const std::string program = dir.write_file("sudo", "#!/bin/sh\necho ran\n", 0644);
  const Completed done = run(probe(), {program, "-V"});
  EXPECT_EQ(done.stdout_text, "SUDO_LAUNCH_FAILED: Could not execute " + program +
                                  ": Permission denied (os error 13)\nSIGPIPE ignored\n");
}

TEST(SudoLauncherE2eTest, Root_IsDeniedAndNothingRuns) {
  require_root();
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--launch-sudo"}, {"--launch-sudo", "-V"}}) {
    const Completed done = run(harness::production_helper_path(), args);
    EXPECT_EQ(done.stdout_text, "");
    EXPECT_EQ(done.stderr_text, kDeniedLine);
    EXPECT_EQ(done.status, ExitStatus::exited_with(1));
  }
}

TEST(SudoLauncherE2eTest, UnprivilegedCallerWithoutArguments_IsAProtocolError) {
  require_root();
  const Completed done = run(harness::production_helper_path(), {"--launch-sudo"},
                             ChildOptions().as_user(kNobodyUid, kNobodyGid));
  EXPECT_EQ(done.stdout_text, "");
  EXPECT_EQ(done.stderr_text,
            "PROTOCOL_ERROR: The sudo launcher requires sudo arguments.\n");
  EXPECT_EQ(done.status, ExitStatus::exited_with(1));
}

TEST(SudoLauncherE2eTest, UnprivilegedCaller_BecomesSudoWithArgumentsUntouched) {
  require_root();
  // "--version" goes to sudo, not to the helper's version mode.
  for (const char* flag : {"-V", "--version"}) {
    SCOPED_TRACE(flag);
    const Completed done = run(harness::production_helper_path(), {"--launch-sudo", flag},
                               ChildOptions().as_user(kNobodyUid, kNobodyGid));
    EXPECT_TRUE(done.stdout_text.starts_with("Sudo version ")) << done.stdout_text;
    EXPECT_EQ(done.stderr_text, "");
    EXPECT_EQ(done.status, ExitStatus::exited_with(0));
  }
}

TEST(SudoLauncherE2eTest, SudoRunsInTheHelpersProcessUnderItsOwnGroup) {
  require_root();
  // sudo -S waits for a password on the input the test holds open, which
  // leaves time to look at the process.
  const std::string prompt = "ravik-launch-probe-prompt:";
  Result<ChildProcess> started = ChildProcess::start(
      harness::production_helper_path(), {"--launch-sudo", "-S", "-p", prompt, "true"},
      ChildOptions::piped().as_user(kNobodyUid, kNobodyGid));
  ASSERT_TRUE(started) << started.error();
  ChildProcess child = std::move(*started);
  const std::string proc = "/proc/" + std::to_string(child.pid());

  // A bounded wait for sudo to reach its prompt.
  const auto limit = std::chrono::steady_clock::now() + harness::kDefaultTimeout;
  while (child.stderr_text().find(prompt) == std::string::npos &&
         std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_NE(child.stderr_text().find(prompt), std::string::npos) << child.stderr_text();

  EXPECT_EQ(std::filesystem::read_symlink(proc + "/exe"), "/usr/bin/sudo");
  using namespace std::string_literals;
  EXPECT_EQ(read_text(proc + "/cmdline"),
            "/usr/bin/sudo\0-S\0-p\0"s + prompt + "\0true\0"s);
  std::istringstream stat(read_text(proc + "/stat"));
  std::string pid, comm, state, ppid, pgrp;
  stat >> pid >> comm >> state >> ppid >> pgrp;
  EXPECT_EQ(pgrp, pid);
  EXPECT_NE(::getpgrp(), child.pid());

  ASSERT_TRUE(child.send_signal(SIGKILL));
  EXPECT_EQ(child.wait(), ExitStatus::killed_by(SIGKILL));
}

// A set-user-ID or set-group-ID copy of the helper started by an ordinary
// user: real and effective identities differ, so it must refuse.
TEST(SudoLauncherE2eTest, SetIdStart_IsDenied) {
  require_root();
  const harness::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string setuid_copy = dir.file("setuid-helper");
  const std::string setgid_copy = dir.file("setgid-helper");
  for (const std::string& copy : {setuid_copy, setgid_copy}) {
    std::filesystem::copy_file(harness::production_helper_path(), copy);
    ASSERT_EQ(::chown(copy.c_str(), kNobodyUid, kNobodyGid), 0);
  }
  ASSERT_EQ(::chmod(setuid_copy.c_str(), 04755), 0);
  ASSERT_EQ(::chmod(setgid_copy.c_str(), 02755), 0);

  for (const std::string& copy : {setuid_copy, setgid_copy}) {
    SCOPED_TRACE(copy);
    const Completed done =
        run(copy, {"--launch-sudo", "-V"}, ChildOptions().as_user(kDaemon, kDaemonGroup));
    EXPECT_EQ(done.stdout_text, "");
#ifdef __SANITIZE_ADDRESS__
    // A set-ID process cannot read its own environment under the sanitizer
    // runtime, so LeakSanitizer runs with its defaults, fails to inspect the
    // process and adds its complaint after the helper's line.
    EXPECT_TRUE(done.stderr_text.starts_with(kDeniedLine)) << done.stderr_text;
#else
    EXPECT_EQ(done.stderr_text, kDeniedLine);
#endif
    EXPECT_EQ(done.status, ExitStatus::exited_with(1));
  }
}

}  // namespace
}  // namespace ravik
