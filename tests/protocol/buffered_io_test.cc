#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "protocol/buffered_input.h"
#include "protocol/buffered_output.h"
#include "support/pattern_bytes.h"
#include "support/scripted_streams.h"

namespace ravik {
namespace {

using testing::OutputLog;
using testing::pattern_text;
using testing::RecordingOutput;
using testing::ScriptedBufferedInput;

std::string read_string(BufferedInput& input, std::size_t size) {
  std::string out(size, '\0');
  auto read =
      input.read_exact(std::span(reinterpret_cast<std::uint8_t*>(out.data()), size));
  EXPECT_TRUE(read.has_value()) << (read ? "" : read.error().describe());
  return out;
}

TEST(BufferedInput, SmallReads_ServedFromOneBufferFill) {
  const std::string bytes = pattern_text(100);
  ScriptedBufferedInput s(bytes);
  EXPECT_EQ(read_string(s.input, 4), bytes.substr(0, 4));
  EXPECT_EQ(read_string(s.input, 10), bytes.substr(4, 10));
  EXPECT_EQ(read_string(s.input, 0), "");
  EXPECT_EQ(read_string(s.input, 86), bytes.substr(14));
  ASSERT_EQ(s.log->requested.size(), 1u);
  EXPECT_EQ(s.log->requested[0], BufferedInput::kCapacity);
}

TEST(BufferedInput, LargeRead_GoesStraightIntoTheDestination) {
  const std::size_t large = 4 * 1024 * 1024 + 1;
  const std::string bytes = pattern_text(4 + large);
  ScriptedBufferedInput s(bytes);
  EXPECT_EQ(read_string(s.input, 4), bytes.substr(0, 4));
  EXPECT_EQ(read_string(s.input, large), bytes.substr(4));
  // One buffer fill, then the rest in one request of the remaining size
  // rather than 512 refills of 8 KiB.
  ASSERT_EQ(s.log->requested.size(), 2u);
  EXPECT_EQ(s.log->requested[1], large - (BufferedInput::kCapacity - 4));
}

TEST(BufferedInput, ShortChunks_AreReassembled) {
  const std::string bytes = pattern_text(20000);
  ScriptedBufferedInput s(bytes, 3);
  EXPECT_EQ(read_string(s.input, 5), bytes.substr(0, 5));
  EXPECT_EQ(read_string(s.input, 9000), bytes.substr(5, 9000));
  EXPECT_TRUE(s.input.skip(10000).has_value());
  EXPECT_EQ(read_string(s.input, 995), bytes.substr(19005));
  EXPECT_EQ(s.consumed(), 20000u);
}

TEST(BufferedInput, EndAndFailures_ReportedWithTheirKinds) {
  ScriptedBufferedInput short_input("abc");
  std::uint8_t out[4];
  auto ended = short_input.input.read_exact(out);
  ASSERT_FALSE(ended.has_value());
  EXPECT_EQ(ended.error().kind, IoErrorKind::kUnexpectedEof);
  EXPECT_EQ(ended.error().describe(), "input ended early");

  ScriptedBufferedInput skipping("abc");
  auto skipped = skipping.input.skip(4);
  ASSERT_FALSE(skipped.has_value());
  EXPECT_EQ(skipped.error().kind, IoErrorKind::kUnexpectedEof);

  // Interrupted reads are repeated; other failures pass through unchanged.
  auto interrupted = std::make_shared<testing::InputLog>();
  auto raw = std::make_unique<testing::ScriptedInput>("abcdef", interrupted);
  raw->fail_at(2, IoError::from_errno(EINTR));
  BufferedInput input(std::move(raw));
  std::uint8_t two[2];
  ASSERT_TRUE(input.read_exact(two).has_value());
  std::uint8_t four[4];
  ASSERT_TRUE(input.read_exact(four).has_value());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(four), 4), "cdef");

  auto failing_log = std::make_shared<testing::InputLog>();
  auto failing = std::make_unique<testing::ScriptedInput>("abcdef", failing_log);
  failing->fail_at(3, IoError::from_errno(EIO));
  BufferedInput failing_input(std::move(failing));
  auto failed = failing_input.read_exact(four);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().kind, IoErrorKind::kOther);
  EXPECT_EQ(failed.error().os_error, EIO);
}

void ignore_signal(int) {}

TEST(BufferedInput, OverPipe_SignalsDuringABlockedReadAreRetried) {
  // A handler without SA_RESTART makes the blocked read fail with EINTR.
  struct sigaction action {};
  action.sa_handler = ignore_signal;
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  UniqueFd write_end(fds[1]);
  BufferedInput input = BufferedInput::over_fd(UniqueFd(fds[0]));

  const pthread_t reader = pthread_self();
  std::thread writer([&] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      pthread_kill(reader, SIGUSR1);
    }
    const std::string data = "0123456789";
    ASSERT_EQ(write(write_end.get(), data.data(), data.size()), 10);
    write_end.reset();
  });
  std::string got = read_string(input, 10);
  writer.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(got, "0123456789");
  std::uint8_t more[1];
  EXPECT_EQ(input.read_exact(more).error().kind, IoErrorKind::kUnexpectedEof);
}

TEST(BufferedOutput, BuffersUntilFlushOrFull) {
  auto log = std::make_shared<OutputLog>();
  {
    BufferedOutput out(std::make_unique<RecordingOutput>(log));
    ASSERT_TRUE(out.write(std::string_view("hello ")).has_value());
    ASSERT_TRUE(out.write(std::string_view("world")).has_value());
    EXPECT_EQ(log->write_calls, 0u);
    ASSERT_TRUE(out.flush().has_value());
    EXPECT_EQ(log->written, "hello world");
    EXPECT_EQ(log->write_calls, 1u);

    // A write that does not fit flushes first; one of buffer size or more
    // goes out directly.
    const std::string big = pattern_text(BufferedOutput::kCapacity);
    ASSERT_TRUE(out.write(std::string_view("x")).has_value());
    ASSERT_TRUE(out.write(big).has_value());
    EXPECT_EQ(log->written, "hello worldx" + big);
    EXPECT_EQ(out.buffered(), 0u);
    ASSERT_TRUE(out.write(std::string_view("tail")).has_value());
  }
  // Destruction flushes what is left.
  EXPECT_TRUE(log->written.ends_with("tail"));
}

TEST(BufferedOutput, PartialWritesAndFailures_NoByteWrittenTwice) {
  auto log = std::make_shared<OutputLog>();
  log->max_chunk = 3;
  BufferedOutput out(std::make_unique<RecordingOutput>(log));
  ASSERT_TRUE(out.write(std::string_view("abcdefgh")).has_value());
  ASSERT_TRUE(out.flush().has_value());
  EXPECT_EQ(log->written, "abcdefgh");

  ASSERT_TRUE(out.write(std::string_view("ijklmn")).has_value());
  log->fail_next = IoError::from_errno(EPIPE);
  auto failed = out.flush();
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().os_error, EPIPE);
  EXPECT_EQ(out.buffered(), 6u);
  log->max_chunk = 100;
  ASSERT_TRUE(out.flush().has_value());
  EXPECT_EQ(log->written, "abcdefghijklmn");

  log->fail_next = IoError::from_errno(EINTR);  // retried, not reported
  ASSERT_TRUE(out.write(std::string_view("o")).has_value());
  ASSERT_TRUE(out.flush().has_value());
  EXPECT_EQ(log->written, "abcdefghijklmno");
}

TEST(BufferedOutput, OverClosedPipe_FailsWithEpipe) {
  signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  close(fds[0]);
  BufferedOutput out = BufferedOutput::over_fd(UniqueFd(fds[1]));
  ASSERT_TRUE(out.write(std::string_view("x")).has_value());
  auto flushed = out.flush();
  ASSERT_FALSE(flushed.has_value());
  EXPECT_EQ(flushed.error().os_error, EPIPE);
}

}  // namespace
}  // namespace ravik
