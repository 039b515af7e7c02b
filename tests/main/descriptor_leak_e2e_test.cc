// Descriptors across process boundaries: the helper, started by a caller that
// left descriptors open without close-on-exec, keeps none of them, and a
// program it starts receives only the standard streams.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

using harness::ChildOptions;
using harness::ChildProcess;
using harness::ExitStatus;

// Opens descriptors 7 (read) and 8 (read-write) on the file "$1", then runs
// the rest of the arguments in place of the shell.
const std::string kOpenExtraDescriptors = R"(exec 7<"$1" 8<>"$1"; shift; exec "$@")";

// Targets of every descriptor of process `pid`.
std::vector<std::string> descriptor_targets(pid_t pid) {
  std::vector<std::string> targets;
  std::error_code error;
  const std::string directory = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    targets.push_back(std::filesystem::read_symlink(entry.path(), error).string());
  }
  EXPECT_FALSE(error) << error.message();
  return targets;
}

TEST(DescriptorLeakTest, CallersOpenDescriptors_AreNotHeldByTheRunningHelper) {
  harness::TempDir dir;
  const std::string marker = dir.write_file("inherited", "");
  const std::string lock = dir.write_file("lock", "", 0600);
  Result<ChildProcess> child = ChildProcess::start(
      "/bin/sh",
      {"-c", kOpenExtraDescriptors, "sh", marker, harness::testing_helper_path(),
       "--cross-process-lock-hold", "--path", lock},
      ChildOptions::piped());
  ASSERT_TRUE(child) << child.error();
  ASSERT_EQ(child->read_line(),
            R"({"protocol":"ravik-flasher-cross-process-lock-v1","status":"ready"})")
      << child->stderr_text();
  const std::vector<std::string> targets = descriptor_targets(child->pid());
  EXPECT_EQ(std::count(targets.begin(), targets.end(), lock), 1);
  EXPECT_EQ(std::count(targets.begin(), targets.end(), marker), 0);
  child->close_stdin();
  EXPECT_EQ(child->wait(), ExitStatus::exited_with(0));
}

// The launcher's sudo is replaced, in a private mount namespace, by a program
// that reports its descriptors; the launcher runs as nobody, as it must.
TEST(DescriptorLeakTest, ProgramStartedByTheLauncher_GetsOnlyTheStandardStreams) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  harness::TempDir dir;
  const std::string marker = dir.write_file("inherited", "");
  const std::string script =
      R"(mount --bind "$1" /usr/bin/sudo || exit 97; shift; )" + kOpenExtraDescriptors;
  auto done = harness::run_child(
      "/usr/bin/unshare",
      {"--mount", "--propagation", "private", "/bin/sh", "-c", script, "sh",
       harness::bin_path("fd_report"), marker, "/usr/bin/setpriv", "--reuid=65534",
       "--regid=65534", "--clear-groups", harness::testing_helper_path(), "--launch-sudo",
       "-n", "true"});
  ASSERT_TRUE(done) << done.error();
  if (done->status == ExitStatus::exited_with(97)) {
    GTEST_SKIP() << "no private mount namespace here: " << done->stderr_text;
  }
  EXPECT_EQ(done->stdout_text, "0\n1\n2\n");
  EXPECT_EQ(done->stderr_text, "");
  EXPECT_EQ(done->status, ExitStatus::exited_with(0));
}

}  // namespace
}  // namespace ravik
