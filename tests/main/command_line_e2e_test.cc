// The command line as the application sees it: the real executables run as
// child processes, their output compared byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/command_line.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

using harness::Completed;
using harness::ExitStatus;

const std::string kUsageLine = "PROTOCOL_ERROR: " + std::string(kUsageText) + "\n";

Completed run(const std::string& binary, const std::vector<std::string>& args) {
  Result<Completed> done = harness::run_child(binary, args);
  EXPECT_TRUE(done) << done.error();
  return done ? *done : Completed{};
}

class CommandLineE2eTest : public ::testing::TestWithParam<std::string> {};

INSTANTIATE_TEST_SUITE_P(BothExecutables, CommandLineE2eTest,
                         ::testing::Values(harness::production_helper_path(),
                                           harness::testing_helper_path()),
                         [](const ::testing::TestParamInfo<std::string>& param_info) {
                           return param_info.param.ends_with("-testing") ? "Testing"
                                                                         : "Production";
                         });

TEST_P(CommandLineE2eTest, Version_PrintsExactlyTheVersion) {
  const Completed done = run(GetParam(), {"--version"});
  EXPECT_EQ(done.stdout_text, "0.1.0\n");
  EXPECT_EQ(done.stderr_text, "");
  EXPECT_EQ(done.status, ExitStatus::exited_with(0));
}

TEST_P(CommandLineE2eTest, ProtocolVersion_PrintsExactlyOne) {
  const Completed done = run(GetParam(), {"--protocol-version"});
  EXPECT_EQ(done.stdout_text, "1\n");
  EXPECT_EQ(done.stderr_text, "");
  EXPECT_EQ(done.status, ExitStatus::exited_with(0));
}

TEST_P(CommandLineE2eTest, MalformedCommandLine_IsTheUsageErrorAndNothingElse) {
  const std::vector<std::vector<std::string>> malformed = {
      {""},
      {"", "--version"},
      {"--version", ""},
      {"--version", "extra"},
      {"--version", "--version"},
      {"--protocol-version", "1"},
      {"--version=1"},
      {"--Version"},
      {"-version"},
      {"--help"},
      {"version"},
      {" --version"},
      {"--version "},
      {"--maintenance-provision", "extra"},
      {"--maintenance-hold"},
      {"--maintenance-hold", "shared"},
      {"--maintenance-hold", "shared", "--timeout-ms"},
      {"--maintenance-hold", "shared", "--timeout-ms", "5", "extra"},
      {"--maintenance-hold", "--timeout-ms", "5", "shared"},
      {"--maintenance-hold", "shared", "--timeout_ms", "5"},
      {"--cross-process-lock-hold"},
      {"--cross-process-lock-hold", "--path"},
      {"--cross-process-lock-hold", "/tmp/lock", "--path"},
      {"--cross-process-lock-hold", "--path=/tmp/lock"},
      {"--path", "/tmp/lock", "--cross-process-lock-hold"},
      {"--cross-process-lock-hold", "--path", "/tmp/lock", "--path", "/tmp/lock"},
      {"--maintenance-installer-end", "--protocol", "1"},
      {"--maintenance-installer-end", "--lease-state", "/x", "--protocol", "1"},
      {"--maintenance-installer-assert-owner", "--protocol", "1", "--lease-state", "/x"},
      {"--maintenance-installer-assert-owner", "--protocol", "1", "--owner-pid", "7",
       "--lease-state", "/x"},
      {"--maintenance-installer-begin", "--protocol", "1", "--lease-state", "/x",
       "--owner-pid", "7"},
      {"--maintenance-installer-begin", "--protocol", "1", "--lease-state", "/x",
       "--timeout-ms", "5", "--owner-pid", "7"},
      {"--maintenance-installer-begin", "--protocol", "1", "--lease-state", "/x",
       "--owner-pid", "7", "--timeout-ms", "5", "extra"},
      {"--version", "--launch-sudo"},
      {"--launch-sudo\xff", "-V"},
      {"--cross-process-lock-hold", "--path", "/tmp/\xc3\x28"},
  };
  for (const std::vector<std::string>& args : malformed) {
    std::string shown;
    for (const std::string& arg : args) shown += "[" + arg + "]";
    SCOPED_TRACE(shown);
    const Completed done = run(GetParam(), args);
    EXPECT_EQ(done.stdout_text, "");
    EXPECT_EQ(done.stderr_text, kUsageLine);
    EXPECT_EQ(done.status, ExitStatus::exited_with(1));
  }
}

TEST_P(CommandLineE2eTest,
       VersionWithStandardOutputClosed_FailsInsteadOfClaimingSuccess) {
  const Completed done = run("/bin/sh", {"-c", "exec \"$0\" --version >&-", GetParam()});
  EXPECT_EQ(done.stdout_text, "");
  EXPECT_EQ(
      done.stderr_text,
      "UNKNOWN: Could not write to standard output: Bad file descriptor (os error 9)\n");
  EXPECT_EQ(done.status, ExitStatus::exited_with(1));
}

TEST_P(CommandLineE2eTest, VersionIntoAPipeWithoutReader_FailsWithEpipeNotSigpipe) {
  // The reading side of the pipeline closes its end and only then lets the
  // helper start, so the write meets a pipe nobody can read.
  const harness::TempDir dir;
  const std::string script =
      "exec 3>&1; mkfifo \"$1\"; "
      "{ read go < \"$1\"; \"$0\" --version 2>&3; echo \"status $?\" >&3; } | "
      "{ exec 0<&-; echo go > \"$1\"; }";
  const Completed done = run("/bin/sh", {"-c", script, GetParam(), dir.file("fifo")});
  EXPECT_EQ(done.stdout_text,
            "UNKNOWN: Could not write to standard output: Broken pipe (os error 32)\n"
            "status 1\n");
}

}  // namespace
}  // namespace ravik
