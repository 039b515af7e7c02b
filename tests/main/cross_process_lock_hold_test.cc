#include "main/cross_process_lock_hold.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "io/unique_fd.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

constexpr std::string_view kReadyLine =
    "{\"protocol\":\"ravik-flasher-cross-process-lock-v1\",\"status\":\"ready\"}\n";
constexpr std::string_view kContendedLine =
    "{\"protocol\":\"ravik-flasher-cross-process-lock-v1\",\"status\":\"contended\"}\n";
constexpr std::string_view kUnsafeMessage =
    "Cross-process lock file must be a private, singly linked regular file owned by "
    "this user.";

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

Pipe make_pipe(int flags = 0) {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC | flags), 0);
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

std::string drain(int fd) {
  std::string text;
  char chunk[256];
  ssize_t got;
  while ((got = ::read(fd, chunk, sizeof(chunk))) > 0) text.append(chunk, got);
  return text;
}

// True when another open file description can take the lock right now.
bool lock_is_free(const std::string& path) {
  UniqueFd other(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  EXPECT_TRUE(other.valid());
  return ::flock(other.get(), LOCK_EX | LOCK_NB) == 0;
}

class CrossProcessLockHoldTest : public ::testing::Test {
 protected:
  // Runs the hold with an input that already ended after `input` bytes and
  // returns the result; the status output is collected in output_.
  Result<void> hold(std::string_view path, std::string_view input = "") {
    Pipe in = make_pipe();
    EXPECT_EQ(::write(in.write_end.get(), input.data(), input.size()),
              static_cast<ssize_t>(input.size()));
    in.write_end.reset();
    Pipe out = make_pipe();
    Result<void> result =
        hold_cross_process_lock(path, in.read_end.get(), out.write_end.get());
    out.write_end.reset();
    output_ = drain(out.read_end.get());
    return result;
  }

  void expect_unsafe(std::string_view path) {
    const Result<void> result = hold(path);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code(), codes::kLockUnsafe);
    EXPECT_EQ(result.error().message(), kUnsafeMessage);
    EXPECT_EQ(output_, "");
  }

  void expect_open_failure(std::string_view path, std::string_view os_text) {
    const Result<void> result = hold(path);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code(), codes::kLockUnavailable);
    EXPECT_EQ(result.error().message(),
              "Could not open cross-process lock file: " + std::string(os_text));
    EXPECT_EQ(output_, "");
  }

  harness::TempDir dir_;
  std::string output_;
};

TEST_F(CrossProcessLockHoldTest, StatusLines_AreTheCompactJsonObjects) {
  EXPECT_EQ(cross_process_lock_status_line(CrossProcessLockStatus::kReady), kReadyLine);
  EXPECT_EQ(cross_process_lock_status_line(CrossProcessLockStatus::kContended),
            kContendedLine);
}

TEST_F(CrossProcessLockHoldTest, FreeLock_IsReportedHeldUntilInputEndsThenReleased) {
  const std::string path = dir_.write_file("lock", "");
  EXPECT_TRUE(hold(path, "bytes that mean nothing\n"));
  EXPECT_EQ(output_, kReadyLine);
  EXPECT_TRUE(lock_is_free(path));
}

TEST_F(CrossProcessLockHoldTest, HeldLock_IsReportedContendedAndInputIsNotRead) {
  const std::string path = dir_.write_file("lock", "");
  UniqueFd holder(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  Pipe in = make_pipe();  // never ends: a hold would wait here forever
  Pipe out = make_pipe();
  EXPECT_TRUE(hold_cross_process_lock(path, in.read_end.get(), out.write_end.get()));
  out.write_end.reset();
  EXPECT_EQ(drain(out.read_end.get()), kContendedLine);
}

TEST_F(CrossProcessLockHoldTest, LockIsHeldWhileInputIsOpen) {
  const std::string path = dir_.write_file("lock", "");
  Pipe in = make_pipe();
  Pipe out = make_pipe();
  std::optional<Result<void>> result;
  std::thread holder([&] {
    result.emplace(hold_cross_process_lock(path, in.read_end.get(), out.write_end.get()));
  });
  // The status line arrives only once the lock is taken.
  char line[kReadyLine.size()];
  ASSERT_EQ(::read(out.read_end.get(), line, sizeof(line)),
            static_cast<ssize_t>(sizeof(line)));
  EXPECT_EQ(std::string_view(line, sizeof(line)), kReadyLine);
  EXPECT_FALSE(lock_is_free(path));
  ASSERT_EQ(::write(in.write_end.get(), "x", 1), 1);
  EXPECT_FALSE(lock_is_free(path));
  in.write_end.reset();
  holder.join();
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(*result);
  EXPECT_TRUE(lock_is_free(path));
}

TEST_F(CrossProcessLockHoldTest, NonBlockingInput_IsWaitedOnNotAFailure) {
  const std::string path = dir_.write_file("lock", "");
  Pipe in = make_pipe(O_NONBLOCK);
  Pipe out = make_pipe();
  std::optional<Result<void>> result;
  std::thread holder([&] {
    result.emplace(hold_cross_process_lock(path, in.read_end.get(), out.write_end.get()));
  });
  char line[kReadyLine.size()];
  ASSERT_EQ(::read(out.read_end.get(), line, sizeof(line)),
            static_cast<ssize_t>(sizeof(line)));
  EXPECT_FALSE(lock_is_free(path));
  in.write_end.reset();
  holder.join();
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(*result);
}

TEST_F(CrossProcessLockHoldTest, RelativePath_IsUnsafeBeforeAnythingIsOpened) {
  for (const std::string_view path : {"lock", "./lock", "", "~/lock", " /lock"}) {
    SCOPED_TRACE(path);
    const Result<void> result = hold(path);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code(), codes::kLockUnsafe);
    EXPECT_EQ(result.error().message(), "Cross-process lock path must be absolute.");
  }
}

TEST_F(CrossProcessLockHoldTest, UnopenablePaths_AreUnavailable) {
  expect_open_failure(dir_.file("missing"), "No such file or directory (os error 2)");
  EXPECT_FALSE(std::filesystem::exists(dir_.file("missing")));

  const std::string target = dir_.write_file("target", "");
  std::filesystem::create_symlink(target, dir_.file("link"));
  expect_open_failure(dir_.file("link"),
                      "Too many levels of symbolic links (os error 40)");
  EXPECT_TRUE(lock_is_free(target));

  expect_open_failure(dir_.path(), "Is a directory (os error 21)");
}

TEST_F(CrossProcessLockHoldTest, AnyGroupOrOtherPermission_IsUnsafe) {
  for (const mode_t mode : {0640, 0620, 0610, 0604, 0602, 0601, 0660, 0666, 0777}) {
    SCOPED_TRACE(mode);
    expect_unsafe(dir_.write_file("lock", "", mode));
  }
}

TEST_F(CrossProcessLockHoldTest, OwnerOnlyPermissions_AreAccepted) {
  for (const mode_t mode : {0600, 0700, 04600}) {
    SCOPED_TRACE(mode);
    EXPECT_TRUE(hold(dir_.write_file("lock", "", mode)));
    EXPECT_EQ(output_, kReadyLine);
  }
}

TEST_F(CrossProcessLockHoldTest, SecondHardLink_IsUnsafe) {
  const std::string path = dir_.write_file("lock", "");
  ASSERT_EQ(::link(path.c_str(), dir_.file("other").c_str()), 0);
  expect_unsafe(path);
  expect_unsafe(dir_.file("other"));
}

TEST_F(CrossProcessLockHoldTest, NotARegularFile_IsUnsafe) {
  ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
  expect_unsafe(dir_.file("fifo"));
  expect_unsafe("/dev/null");
}

TEST_F(CrossProcessLockHoldTest, FileOfAnotherUser_IsUnsafe) {
  const std::string path = dir_.write_file("lock", "");
  if (::chown(path.c_str(), ::geteuid() + 1, static_cast<gid_t>(-1)) != 0) {
    GTEST_SKIP() << "needs the power to give a file away";
  }
  expect_unsafe(path);
}

TEST_F(CrossProcessLockHoldTest, InputReadFailure_IsReportedAndReleasesTheLock) {
  const std::string path = dir_.write_file("lock", "");
  UniqueFd write_only(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  Pipe out = make_pipe();
  const Result<void> result =
      hold_cross_process_lock(path, write_only.get(), out.write_end.get());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kLockUnavailable);
  EXPECT_EQ(
      result.error().message(),
      "Could not monitor the cross-process lock owner: Bad file descriptor (os error "
      "9)");
  EXPECT_TRUE(lock_is_free(path));
}

TEST_F(CrossProcessLockHoldTest, StatusWriteFailure_IsReportedAndReleasesTheLock) {
  const std::string path = dir_.write_file("lock", "");
  Pipe in = make_pipe();  // never ends: the hold must not get this far
  UniqueFd read_only(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  for (const bool contended : {false, true}) {
    SCOPED_TRACE(contended);
    UniqueFd holder(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (contended) {
      ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
    }
    const Result<void> result =
        hold_cross_process_lock(path, in.read_end.get(), read_only.get());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code(), codes::kLockUnavailable);
    EXPECT_EQ(result.error().message(),
              "Could not write lock status: Bad file descriptor (os error 9)");
    holder.reset();
    EXPECT_TRUE(lock_is_free(path));
  }
}

}  // namespace
}  // namespace ravik
