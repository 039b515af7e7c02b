#include "support/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "support/nobody.h"

namespace ravik::harness {
namespace {

using std::chrono::milliseconds;

using testing::kNobodyGid;
using testing::kNobodyUid;

Completed run_ok(const std::vector<std::string>& args, const ChildOptions& options = {}) {
  Result<Completed> done = run_child("/bin/sh", args, options);
  EXPECT_TRUE(done) << done.error();
  return done ? *done : Completed{};
}

ChildProcess start_ok(const std::string& path, const std::vector<std::string>& args,
                      const ChildOptions& options = {}) {
  Result<ChildProcess> child = ChildProcess::start(path, args, options);
  if (!child) {
    ADD_FAILURE() << child.error();
    std::abort();
  }
  return std::move(*child);
}

TEST(ChildProcessStartTest, MissingBinary_FailsWithTheExecError) {
  const Result<ChildProcess> child = ChildProcess::start("/nonexistent/binary", {});
  ASSERT_FALSE(child);
  EXPECT_EQ(child.error().message(),
            "Could not execute the child: No such file or directory (os error 2)");
}

TEST(ChildProcessStartTest, UnknownWorkingDirectory_FailsBeforeExec) {
  const Result<ChildProcess> child =
      ChildProcess::start("/bin/true", {}, ChildOptions().in_directory("/nonexistent"));
  ASSERT_FALSE(child);
  EXPECT_TRUE(child.error().message().starts_with(
      "Could not change the child's working directory"));
}

TEST(RunChildTest, FixedInput_ReachesTheChildByteForByte) {
  std::string input(1 << 20, 'a');  // larger than a pipe buffer
  input += "\n\0tail without line feed";
  const Completed done = run_ok({"-c", "cat"}, ChildOptions::input(input));
  EXPECT_EQ(done.stdout_text, input);
  EXPECT_EQ(done.status, ExitStatus::exited_with(0));
}

TEST(RunChildTest, ExitStatusAndStandardError_AreReported) {
  const Completed done = run_ok({"-c", "echo out; echo err >&2; echo more >&2; exit 3"});
  EXPECT_EQ(done.stdout_text, "out\n");
  EXPECT_EQ(done.stderr_text, "err\nmore\n");
  EXPECT_EQ(done.status, ExitStatus::exited_with(3));
}

TEST(RunChildTest, ArgumentsAndEnvironment_ArePassedUnchanged) {
  const Completed done =
      run_ok({"-c", "printf '%s|' \"$0\" \"$1\" \"$RAVIK_HARNESS_PROBE\"", "zero", ""},
             ChildOptions().with_env("RAVIK_HARNESS_PROBE=a=b"));
  EXPECT_EQ(done.stdout_text, "zero||a=b|");
}

TEST(RunChildTest, RunAs_SwitchesEveryIdAndDropsGroups) {
  const Completed done = run_ok({"-c", "id -u; id -ru; id -g; id -rg; id -G"},
                                ChildOptions().as_user(kNobodyUid, kNobodyGid));
  EXPECT_EQ(done.stdout_text, "65534\n65534\n65534\n65534\n65534\n");
}

TEST(RunChildTest, Child_StartsWithDefaultSignalsAndOnlyTheStandardStreams) {
  // A test process that ignores SIGPIPE and holds an inheritable descriptor
  // must not pass either on.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);
  const int leaked = ::open("/dev/null", O_RDONLY);  // no O_CLOEXEC on purpose
  ASSERT_GE(leaked, 0);
  const Completed done = run_ok(
      {"-c",
       "grep '^SigIgn' /proc/self/status; ls /proc/self/fd | sort -n | tr '\\n' ' '"});
  ::close(leaked);
  sigaction(SIGPIPE, &previous, nullptr);
  // ls itself holds the directory it lists as descriptor 3.
  EXPECT_EQ(done.stdout_text, "SigIgn:\t0000000000000000\n0 1 2 3 ");
}

TEST(RunChildTest, ChildThatNeverEnds_IsATimeout) {
  const Result<Completed> done = run_child("/bin/sleep", {"1000"}, {}, milliseconds(50));
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().message(), "/bin/sleep did not end within the time limit.");
}

TEST(ChildProcessStreamTest, ReadLine_ReturnsLinesThenTheFragmentIsLeft) {
  ChildProcess child = start_ok("/bin/sh", {"-c", "printf 'one\\n\\ntwo\\nrest'"});
  EXPECT_EQ(child.read_line(), "one");
  EXPECT_EQ(child.read_line(), "");
  EXPECT_EQ(child.read_line(), "two");
  EXPECT_EQ(child.read_line(), std::nullopt);
  EXPECT_TRUE(child.stdout_ended());
  EXPECT_EQ(child.read_stdout_to_end(), "rest");
  EXPECT_EQ(child.wait(), ExitStatus::exited_with(0));
}

TEST(ChildProcessStreamTest, PipedInput_IsDeliveredAsWrittenAndEndsOnClose) {
  ChildProcess child = start_ok("/bin/cat", {}, ChildOptions::piped());
  EXPECT_EQ(child.read_line(milliseconds(20)), std::nullopt);  // nothing yet
  EXPECT_FALSE(child.stdout_ended());
  ASSERT_TRUE(child.write_stdin("first\nsec"));
  EXPECT_EQ(child.read_line(), "first");
  ASSERT_TRUE(child.write_stdin("ond\n"));
  EXPECT_EQ(child.read_line(), "second");
  EXPECT_EQ(child.wait(milliseconds(20)), std::nullopt);  // still running
  child.close_stdin();
  EXPECT_EQ(child.wait(), ExitStatus::exited_with(0));
  EXPECT_EQ(child.read_stdout_to_end(), "");
}

TEST(ChildProcessStreamTest, WriteAfterTheChildClosedItsInput_FailsWithoutSigpipe) {
  ChildProcess child = start_ok("/bin/true", {}, ChildOptions::piped());
  ASSERT_EQ(child.wait(), ExitStatus::exited_with(0));
  const Result<void> written = child.write_stdin("nobody reads this\n");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().message(),
            "Could not write to the child: Broken pipe (os error 32)");
}

TEST(ChildProcessStreamTest, Wait_CollectsOutputLargerThanThePipe) {
  ChildProcess child = start_ok("/bin/sh", {"-c", "head -c 300000 /dev/zero"});
  EXPECT_EQ(child.wait(), ExitStatus::exited_with(0));
  EXPECT_EQ(child.read_stdout_to_end()->size(), 300000u);
}

TEST(ChildProcessSignalTest, SendSignal_EndsTheChildWithThatSignal) {
  ChildProcess child = start_ok("/bin/cat", {}, ChildOptions::piped());
  ASSERT_TRUE(child.send_signal(SIGTERM));
  EXPECT_EQ(child.wait(), ExitStatus::killed_by(SIGTERM));
  EXPECT_EQ(child.wait(), ExitStatus::killed_by(SIGTERM));
  EXPECT_FALSE(child.send_signal(SIGTERM));  // reaped: never a stray kill
}

TEST(ChildProcessSignalTest, Destructor_KillsAndReapsARunningChild) {
  pid_t pid;
  {
    ChildProcess child = start_ok("/bin/cat", {}, ChildOptions::piped());
    pid = child.pid();
    ASSERT_EQ(::kill(pid, 0), 0);
  }
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(ChildProcessSignalTest, MovedFromObject_LeavesTheChildToTheNewOwner) {
  ChildProcess first = start_ok("/bin/cat", {}, ChildOptions::piped());
  ChildProcess second = std::move(first);
  ASSERT_TRUE(second.write_stdin("moved\n"));
  EXPECT_EQ(second.read_line(), "moved");
  second.close_stdin();
  EXPECT_EQ(second.wait(), ExitStatus::exited_with(0));
}

}  // namespace
}  // namespace ravik::harness
