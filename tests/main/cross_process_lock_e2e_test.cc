// Cross-process locking between real helper processes: the lock is held by
// one process while another asks for it, exactly as two application
// instances would.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/child_process.h"
#include "support/file_probe.h"
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

const std::string kReadyLine =
    R"({"protocol":"ravik-flasher-cross-process-lock-v1","status":"ready"})";
const std::string kContendedLine =
    R"({"protocol":"ravik-flasher-cross-process-lock-v1","status":"contended"})";
const std::string kUnsafeLine =
    "LOCK_UNSAFE: Cross-process lock file must be a private, singly linked regular file "
    "owned by this user.\n";

ChildProcess start_hold(const std::string& path,
                        ChildOptions options = ChildOptions::piped()) {
  Result<ChildProcess> child =
      ChildProcess::start(harness::testing_helper_path(),
                          {"--cross-process-lock-hold", "--path", path}, options);
  if (!child) {
    ADD_FAILURE() << child.error();
    std::abort();
  }
  return std::move(*child);
}

Completed run_hold(const std::string& path, const ChildOptions& options = {}) {
  Result<Completed> done =
      harness::run_child(harness::testing_helper_path(),
                         {"--cross-process-lock-hold", "--path", path}, options);
  EXPECT_TRUE(done) << done.error();
  return done ? *done : Completed{};
}

void expect_refused(const std::string& path, const std::string& stderr_line) {
  const Completed done = run_hold(path);
  EXPECT_EQ(done.stdout_text, "");
  EXPECT_EQ(done.stderr_text, stderr_line);
  EXPECT_EQ(done.status, ExitStatus::exited_with(1));
}

TEST(CrossProcessLockE2eTest, SecondHolder_IsToldContendedUntilTheFirstOwnerLetsGo) {
  const harness::TempDir dir;
  const std::string path = dir.write_file("lock", "");
  ChildProcess first = start_hold(path);
  ASSERT_EQ(first.read_line(), kReadyLine);

  const Completed second = run_hold(path);
  EXPECT_EQ(second.stdout_text, kContendedLine + "\n");
  EXPECT_EQ(second.stderr_text, "");
  EXPECT_EQ(second.status, ExitStatus::exited_with(0));

  // What the owner writes means nothing; the lock stays held.
  ASSERT_TRUE(first.write_stdin("release\n{\"status\":\"end\"}\n\n"));
  EXPECT_EQ(run_hold(path).stdout_text, kContendedLine + "\n");
  EXPECT_EQ(first.wait(std::chrono::milliseconds(0)), std::nullopt);

  first.close_stdin();
  EXPECT_EQ(first.wait(), ExitStatus::exited_with(0));
  EXPECT_EQ(first.read_stdout_to_end(), "");
  EXPECT_EQ(first.stderr_text(), "");

  ChildProcess third = start_hold(path);
  EXPECT_EQ(third.read_line(), kReadyLine);
  third.close_stdin();
  EXPECT_EQ(third.wait(), ExitStatus::exited_with(0));
}

TEST(CrossProcessLockE2eTest, Holder_ReachesNoOtherFile) {
  if (const char* why = testing::why_file_layers_are_not_seen()) GTEST_SKIP() << why;
  const harness::TempDir dir;
  const std::string path = dir.write_file("lock", "");
  const testing::FileProbe probe;
  ChildOptions options = ChildOptions::piped();
  options.extra_environment = probe.environment();
  ChildProcess holder = start_hold(path, options);
  EXPECT_EQ(holder.read_line(), kReadyLine);
  holder.close_stdin();
  EXPECT_EQ(holder.wait(), ExitStatus::exited_with(0));
  EXPECT_EQ(holder.stderr_text(), testing::FileProbe::refused_mode_line());
}

TEST(CrossProcessLockE2eTest, HolderThatDies_LeavesTheLockFree) {
  const harness::TempDir dir;
  const std::string path = dir.write_file("lock", "");
  ChildProcess first = start_hold(path);
  ASSERT_EQ(first.read_line(), kReadyLine);
  ASSERT_TRUE(first.send_signal(SIGKILL));
  EXPECT_EQ(first.wait(), ExitStatus::killed_by(SIGKILL));

  ChildProcess second = start_hold(path);
  EXPECT_EQ(second.read_line(), kReadyLine);
}

TEST(CrossProcessLockE2eTest, UnsafeOrUnusableFiles_AreRefusedWithOneLine) {
  const harness::TempDir dir;
  expect_refused("lock", "LOCK_UNSAFE: Cross-process lock path must be absolute.\n");

  expect_refused(dir.file("missing"),
                 "LOCK_UNAVAILABLE: Could not open cross-process lock file: No such file "
                 "or directory (os error 2)\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));

  std::filesystem::create_symlink(dir.write_file("target", ""), dir.file("symlink"));
  expect_refused(dir.file("symlink"),
                 "LOCK_UNAVAILABLE: Could not open cross-process lock file: Too many "
                 "levels of symbolic links (os error 40)\n");

  expect_refused(dir.write_file("shared", "", 0640), kUnsafeLine);

  const std::string linked = dir.write_file("linked", "");
  ASSERT_EQ(::link(linked.c_str(), dir.file("second-name").c_str()), 0);
  expect_refused(linked, kUnsafeLine);
}

TEST(CrossProcessLockE2eTest, FileOfAnotherUser_IsRefused) {
  const harness::TempDir dir;
  const std::string path = dir.write_file("lock", "");
  if (::chown(path.c_str(), kNobodyUid, kNobodyGid) != 0) {
    GTEST_SKIP() << "needs root to give the file away";
  }
  expect_refused(path, kUnsafeLine);
}

TEST(CrossProcessLockE2eTest, UnprivilegedOwner_HoldsItsOwnFileButNotRoots) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
  const harness::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string own = dir.write_file("own", "");
  ASSERT_EQ(::chown(own.c_str(), kNobodyUid, kNobodyGid), 0);
  const std::string roots = dir.write_file("roots", "");

  ChildProcess holder =
      start_hold(own, ChildOptions::piped().as_user(kNobodyUid, kNobodyGid));
  EXPECT_EQ(holder.read_line(), kReadyLine);
  holder.close_stdin();
  EXPECT_EQ(holder.wait(), ExitStatus::exited_with(0));

  const Completed refused =
      run_hold(roots, ChildOptions().as_user(kNobodyUid, kNobodyGid));
  EXPECT_EQ(refused.stderr_text,
            "LOCK_UNAVAILABLE: Could not open cross-process lock file: Permission denied "
            "(os error 13)\n");
  EXPECT_EQ(refused.status, ExitStatus::exited_with(1));
}

TEST(CrossProcessLockE2eTest, ClosedStandardStreams_NeverLetTheLockFileStandIn) {
  // Started with standard output closed, the lock file must not become it:
  // the status line would land in the file.
  const harness::TempDir dir;
  const std::string path = dir.write_file("lock", "");
  Result<Completed> done = harness::run_child(
      "/bin/sh", {"-c", "exec \"$0\" --cross-process-lock-hold --path \"$1\" >&-",
                  harness::testing_helper_path(), path});
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(
      done->stderr_text,
      "LOCK_UNAVAILABLE: Could not write lock status: Bad file descriptor (os error "
      "9)\n");
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

}  // namespace
}  // namespace ravik
