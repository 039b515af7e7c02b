// The device session end to end: the testing helper as a child process over
// real pipes, a regular file as target, every event line checked byte for
// byte (rates, durations and the lease ID masked).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "job/messages.h"
#include "job/wire.h"
#include "session_driver.h"
#include "support/file_probe.h"

namespace ravik::session_test {
namespace {

using harness::ExitStatus;
using job::abort_frame;
using job::cancel_message;
using job::control_frame;
using job::data_frame_head;
using job::end_frame;
using job::read_message;
using job::simple_message;
using job::verify_message;

constexpr const char* kBusy =
    "Only a matching cancel frame is allowed while an operation is active.";
constexpr const char* kAfterIncompleteWrite =
    "Only recovery or release commands are allowed after an incomplete write.";

std::string released_line(const std::string& id) {
  return header("released") + R"(,"operationId":")" + id +
         R"(","flushCompleted":true,"safeToRemove":true,"improperRemovalClueExpected":false})";
}

std::string verify_result_line(const std::string& id, const std::string& image) {
  const std::string digest = sha256_hex(image);
  return header("verifyResult") + R"(,"operationId":")" + id + R"(","mode":"full",)" +
         R"("bytesVerified":)" + std::to_string(image.size()) + R"(,"sourceSha256":")" +
         digest + R"(","targetSha256":")" + digest + R"(","matches":true})";
}

std::string verify_progress_line(const std::string& id, std::uint64_t done,
                                 std::uint64_t total) {
  return header("progress") + R"(,"operationId":")" + id + R"(","stage":"VERIFY",)" +
         R"("bytesProcessed":)" + std::to_string(done) + R"(,"bytesTotal":)" +
         std::to_string(total) +
         R"(,"speedBps":*,"message":"Verifying the held target"})";
}

// --- Start-up -----------------------------------------------------------------

TEST(SessionStartupTest, EndOfInputBeforeAnyFrame_StderrOnlyExit1) {
  auto done = harness::run_child(harness::testing_helper_path(), {});
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->stdout_text, "");
  EXPECT_EQ(done->stderr_text,
            "PROTOCOL_ERROR: Could not read control-frame length: input ended early\n");
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
}

TEST(SessionStartupTest, FirstFrameVerify_RefusedWithoutEvents) {
  harness::ChildOptions options;
  options.stdin_bytes = control_frame(verify_message("v1"));
  auto done = harness::run_child(harness::testing_helper_path(), {}, options);
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->stdout_text, "");
  EXPECT_EQ(done->stderr_text,
            "PROTOCOL_ERROR: The first command must be open_write or open_format.\n");
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
}

TEST(SessionStartupTest, ProductionHelper_RefusesRegularFileTarget) {
  SessionDriver driver(kMiB, kMiB);
  harness::ChildOptions options;
  options.stdin_bytes = driver.open_write_frame();
  auto done = harness::run_child(harness::production_helper_path(), {}, options);
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->stdout_text,
            error_line({}, "DEVICE_NOT_REMOVABLE",
                       "testOnlyAllowRegularFile is unavailable in production builds.",
                       {}, false) +
                "\n");
  EXPECT_EQ(done->stderr_text,
            "DEVICE_NOT_REMOVABLE: testOnlyAllowRegularFile is unavailable in production "
            "builds.\n");
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
}

// The body of a control frame: its bytes after the length prefix.
std::string body_of(const std::string& frame) { return frame.substr(4); }

TEST(SessionStartupTest, OpenWriteFollowedByNul_DoesNotOpen) {
  SessionDriver driver(kMiB, kMiB);
  const std::string body = body_of(driver.open_write_frame());
  auto done = harness::run_child(harness::testing_helper_path(), {},
                                 harness::ChildOptions::input(job::raw_control_frame(
                                     body + std::string("\0{{{", 4))));
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->stdout_text, "");
  EXPECT_EQ(done->stderr_text,
            "PROTOCOL_ERROR: Invalid control-frame JSON: NUL byte at "
            "line 1, column " +
                std::to_string(body.size() + 1) + "\n");
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
}

// A first frame of the largest size whose extra member holds as many empty
// objects as fit: refused once the values exceed what any command holds.
TEST(SessionStartupTest, LargestFrameOfEmptyObjects_RefusedForItsValueCount) {
  SessionDriver driver(kMiB, kMiB);
  std::string body = body_of(driver.open_write_frame());
  body.pop_back();
  body += R"(,"x":[{})";
  const std::size_t limit = 2 * kMiB;
  while (body.size() + 5 <= limit) body += ",{}";
  body.append(limit - 2 - body.size(), ' ');
  body += "]}";
  ASSERT_EQ(body.size(), limit);
  auto done =
      harness::run_child(harness::testing_helper_path(), {},
                         harness::ChildOptions::input(job::raw_control_frame(body)));
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->stdout_text, "");
  const std::string refusal =
      "PROTOCOL_ERROR: Invalid control-frame JSON: more than 4096 values at line 1, ";
  EXPECT_EQ(done->stderr_text.substr(0, refusal.size()), refusal);
  EXPECT_EQ(std::count(done->stderr_text.begin(), done->stderr_text.end(), '\n'), 1);
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
}

// --- Session endings ------------------------------------------------------------

TEST(SessionEndingTest, EjectReleaseAndClose_EndTheSessionWithStatus0) {
  struct Ending {
    std::string type;
    std::string answer;
  };
  const std::vector<Ending> endings = {
      {"eject", header("result") +
                    R"(,"operationId":"end","ok":true,"flushCompleted":true,)"
                    R"("safeToRemove":true,"improperRemovalClueExpected":false})"},
      {"release", released_line("end")},
      {"close", header("closed") + R"(,"operationId":"end","flushCompleted":true,)"
                                   R"("bootUnmounted":true,"safeToRemove":false})"},
  };
  for (const Ending& ending : endings) {
    SCOPED_TRACE(ending.type);
    SessionDriver driver(6 * kMiB, 8 * kMiB);
    ASSERT_NO_FATAL_FAILURE(driver.open_and_write());
    driver.send(control_frame(simple_message(ending.type, "end")));
    EXPECT_EQ(driver.next_line(), ending.answer);
    EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
    EXPECT_EQ(driver.stderr_text(), "");
  }
}

TEST(SessionEndingTest, WriteVerifyReadRelease_AnswersEveryCommand) {
  SessionDriver driver(10 * kMiB, 12 * kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.open_and_write());
  // One per 4 MiB source read, then the final flush's.
  EXPECT_EQ(driver.progress_seen, 4u);
  driver.send(control_frame(verify_message("v1")));
  EXPECT_EQ(driver.next_line(), verify_progress_line("v1", 4 * kMiB, 10 * kMiB));
  EXPECT_EQ(driver.next_line(), verify_progress_line("v1", 8 * kMiB, 10 * kMiB));
  EXPECT_EQ(driver.next_line(), verify_progress_line("v1", 10 * kMiB, 10 * kMiB));
  EXPECT_EQ(driver.next_line(), verify_result_line("v1", driver.image()));
  // Bytes 4090..4099 of the image: "readResult" carries them in Base64.
  driver.send(control_frame(read_message("r1", 4090, 10)));
  const std::string answer = driver.next_line();
  EXPECT_TRUE(answer.starts_with(
      header("readResult") + R"(,"operationId":"r1","offsetBytes":4090,"lengthBytes":10,)"
                             R"("dataBase64":")"))
      << answer;
  driver.send(control_frame(simple_message("release", "rel")));
  EXPECT_EQ(driver.next_line(), released_line("rel"));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
}

// --- Session rules --------------------------------------------------------------

TEST(SessionRulesTest, FormatOnly_RejectsAllButRecoverEjectCloseCancel) {
  SessionDriver driver(kMiB, 4 * kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.start());
  driver.send(driver.open_format_frame());
  const std::string ready = driver.next_line();
  EXPECT_TRUE(ready.starts_with(header("ready"))) << ready;
  const char* kFormatOnly =
      "Only recover, eject, close, or cancel commands are allowed in a format-only "
      "transaction.";
  driver.send(control_frame(verify_message("v1")));
  EXPECT_EQ(driver.next_line(), error_line("v1", "UNKNOWN", kFormatOnly, 0, true));
  driver.send(control_frame(simple_message("release", "rel")));
  EXPECT_EQ(driver.next_line(), error_line("rel", "UNKNOWN", kFormatOnly, 0, true));
  driver.send(driver.open_format_frame());  // a second open: the format-only rule
  EXPECT_EQ(driver.next_line(), error_line({}, "UNKNOWN", kFormatOnly, 0, true));
  // recover reaches the command handling, which finds the disk too small.
  nlohmann::ordered_json recover = {{"type", "recover"},
                                    {"protocolVersion", 1},
                                    {"operationId", "rec"},
                                    {"filesystem", "fat32"},
                                    {"volumeLabel", "RAVIK"}};
  driver.send(control_frame(recover));
  EXPECT_EQ(driver.next_line(),
            error_line("rec", "DEVICE_TOO_SMALL",
                       "The held target is too small for safe FAT32 recovery.", 0, true));
  // Its ID was claimed all the same.
  recover["operationId"] = "rec";
  driver.send(control_frame(recover));
  EXPECT_EQ(driver.next_line(),
            error_line("rec", "UNKNOWN",
                       "operationId was already used in this transaction.", 0, true));
  driver.send(control_frame(simple_message("close", "c")));
  EXPECT_EQ(driver.next_line(), header("closed") + R"(,"operationId":"c",)" +
                                    R"("flushCompleted":true,"bootUnmounted":true,)" +
                                    R"("safeToRemove":false})");
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
}

TEST(SessionRulesTest, DigestMismatch_RetainsSessionForReleaseOnly) {
  SessionDriver driver(6 * kMiB, 8 * kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.start());
  driver.send(driver.open_write_frame(std::string(64, '0')));
  ASSERT_EQ(driver.next_line(), driver.ready_line());
  for (const std::string& frame : driver.image_frames()) driver.send(frame);
  driver.send(end_frame());
  // Complete stream, target written: the error keeps the session without a
  // resynchronisation.
  EXPECT_EQ(driver.next_answer(),
            error_line({}, "IMAGE_MISSING",
                       "The source changed after preparation; prepare the image again "
                       "before retrying.",
                       6 * kMiB, true));
  driver.send(control_frame(verify_message("v1")));
  EXPECT_EQ(driver.next_line(),
            error_line("v1", "UNKNOWN", kAfterIncompleteWrite, 6 * kMiB, true));
  driver.send(control_frame(read_message("r1", 0, 16)));
  EXPECT_EQ(driver.next_line(),
            error_line("r1", "UNKNOWN", kAfterIncompleteWrite, 6 * kMiB, true));
  driver.send(driver.open_write_frame());
  EXPECT_EQ(driver.next_line(),
            error_line({}, "UNKNOWN", kAfterIncompleteWrite, 6 * kMiB, true));
  driver.send(control_frame(simple_message("release", "rel")));
  EXPECT_EQ(driver.next_line(), released_line("rel"));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
}

TEST(SessionRulesTest, SecondOpenInCompleteSession_FailsInCommandHandling) {
  SessionDriver driver(kMiB, kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.open_and_write());
  driver.send(driver.open_write_frame());
  EXPECT_EQ(driver.next_line(),
            error_line({}, "UNKNOWN", "open_write or open_format can be sent only once.",
                       kMiB, true));
  driver.send(control_frame(simple_message("close", "c")));
  EXPECT_TRUE(driver.next_line().starts_with(header("closed")));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
}

TEST(SessionRulesTest, CloseFollowedByNul_RefusedAndTheSessionEnds) {
  SessionDriver driver(kMiB, kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.open_and_write());
  const std::string body = body_of(control_frame(simple_message("close", "c")));
  driver.send(job::raw_control_frame(body + std::string("\0garbage", 8)));
  const std::string message = "Invalid control-frame JSON: NUL byte at line 1, column " +
                              std::to_string(body.size() + 1);
  EXPECT_EQ(driver.next_line(), error_line({}, "UNKNOWN", message, kMiB, false));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(1));
  EXPECT_EQ(driver.stderr_text(), "PROTOCOL_ERROR: " + message + "\n");
}

// --- Aborted and canceled writes --------------------------------------------------

TEST(SessionWriteTest, AbortFrameMidImage_SourceAbortedAndRetained) {
  SessionDriver driver(12 * kMiB, 12 * kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.start());
  driver.send(driver.open_write_frame());
  ASSERT_EQ(driver.next_line(), driver.ready_line());
  driver.send(driver.image_frames()[0]);
  driver.send(abort_frame());
  EXPECT_EQ(
      driver.next_answer(),
      header("sourceAborted") +
          R"(,"errorCode":"CANCELED","errorMessage":"The source stream was canceled: )"
          R"(source stream was canceled","bytesWritten":4194304,"sessionRetained":true})");
  driver.send(control_frame(verify_message("v1")));
  EXPECT_EQ(driver.next_line(),
            error_line("v1", "UNKNOWN", kAfterIncompleteWrite, 4 * kMiB, true));
  driver.send(control_frame(simple_message("release", "rel")));
  EXPECT_EQ(driver.next_line(), released_line("rel"));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
}

TEST(SessionWriteTest, SigtermDuringWrite_ErrorThenAbortFrameResynchronises) {
  SessionDriver driver(16 * kMiB, 16 * kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.start());
  driver.send(driver.open_write_frame());
  ASSERT_EQ(driver.next_line(), driver.ready_line());
  const std::vector<std::string> frames = driver.image_frames();
  driver.send(frames[0]);
  // The first chunk is on the target once its progress event arrives.
  EXPECT_EQ(
      driver.next_line(),
      header("progress") + R"(,"stage":"WRITE","bytesProcessed":4194304,)" +
          R"("bytesTotal":16777216,"speedBps":*,"message":"Writing the held target"})");
  ASSERT_TRUE(driver.child().send_signal(SIGTERM));
  // The helper keeps running; the next chunk meets the cancellation.
  driver.send(frames[1]);
  EXPECT_EQ(driver.next_line(),
            error_line({}, "CANCELED", "The transaction was canceled.", 4 * kMiB, false));
  // It now waits for the application's abort frame, consuming the rest.
  driver.send(frames[2]);
  driver.send(abort_frame());
  EXPECT_EQ(
      driver.next_line(),
      header("sourceAborted") +
          R"(,"errorCode":"CANCELED","errorMessage":"The transaction was canceled.",)"
          R"("bytesWritten":4194304,"sessionRetained":true})");
  driver.send(control_frame(simple_message("release", "rel")));
  EXPECT_EQ(driver.next_line(), released_line("rel"));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
}

// After the last chunk the helper still flushes and, with a protected
// prefix, reads the image back: each of those stages reports its own progress
// before `written`, the readback in steps of the whole image's bytes.
TEST(SessionWriteTest, FlushAndReadback_ReportProgressBeforeWritten) {
  constexpr std::uint64_t kPrefix = kMiB;
  SessionDriver driver(9 * kMiB, 16 * kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.start());
  driver.send(driver.open_write_frame(std::nullopt, kPrefix));
  ASSERT_EQ(driver.next_line(), driver.ready_line());
  for (const std::string& frame : driver.image_frames()) driver.send(frame);
  driver.send(end_frame());
  std::vector<std::string> after_write;
  for (std::string line = driver.next_line(); line != driver.written_line(kPrefix);
       line = driver.next_line()) {
    ASSERT_NE(line, "<no line>");
    if (line.find(R"("stage":"WRITE")") == std::string::npos) after_write.push_back(line);
  }
  auto progress = [](const std::string& stage, std::uint64_t done,
                     const std::string& message) {
    return header("progress") + R"(,"stage":")" + stage + R"(","bytesProcessed":)" +
           std::to_string(done) + R"(,"bytesTotal":9437184,"speedBps":*,"message":")" +
           message + R"("})";
  };
  EXPECT_EQ(after_write, (std::vector<std::string>{
                             progress("FLUSH", 9 * kMiB, "Flushing the held target"),
                             progress("VERIFY", 0, "Verifying the held target"),
                             progress("VERIFY", 4 * kMiB, "Verifying the held target"),
                             progress("VERIFY", 8 * kMiB, "Verifying the held target"),
                             progress("VERIFY", 9 * kMiB, "Verifying the held target")}));
  driver.send(control_frame(simple_message("release", "rel")));
  EXPECT_EQ(driver.next_line(), released_line("rel"));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
}

TEST(SessionWriteTest, SigtermDuringPrefixCommit_WriteCompletesNextOperationCanceled) {
  constexpr std::uint64_t kPrefix = 16 * kMiB;
  SessionDriver driver(kPrefix + kMiB, kPrefix + kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.start());
  driver.send(driver.open_write_frame(std::nullopt, kPrefix));
  ASSERT_EQ(driver.next_line(), driver.ready_line());
  for (const std::string& frame : driver.image_frames()) driver.send(frame);
  driver.send(end_frame());
  // The commit has begun once image bytes appear in the prefix area, which
  // the zero pass blanked; its first block comes last.
  const std::string expected = driver.image().substr(512, 64);
  std::ifstream target(driver.target_path(), std::ios::binary);
  std::string seen(64, '\0');
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (seen != expected && std::chrono::steady_clock::now() < deadline) {
    target.clear();
    target.seekg(512);
    target.read(seen.data(), 64);
  }
  ASSERT_EQ(seen, expected);
  ASSERT_TRUE(driver.child().send_signal(SIGTERM));
  EXPECT_EQ(driver.next_answer(), driver.written_line(kPrefix));
  // The cancellation takes effect on the next operation.
  driver.send(control_frame(read_message("r1", 0, 4)));
  EXPECT_EQ(driver.next_line(),
            error_line("r1", "CANCELED", "The transaction was canceled.", kPrefix + kMiB,
                       true));
  std::ifstream written(driver.target_path(), std::ios::binary);
  EXPECT_TRUE(std::equal(driver.image().begin(), driver.image().end(),
                         std::istreambuf_iterator<char>(written)));
  driver.send(control_frame(simple_message("release", "rel")));
  EXPECT_EQ(driver.next_line(), released_line("rel"));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
}

TEST(SessionWriteTest, SigtermWhileImageStalls_AnsweredAtOnceThenResynchronises) {
  SessionDriver driver(8 * kMiB, 8 * kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.start());
  driver.send(driver.open_write_frame());
  ASSERT_EQ(driver.next_line(), driver.ready_line());
  // The stream stalls halfway through the first frame.
  const std::string first = driver.image_frames()[0];
  driver.send(first.substr(0, first.size() / 2));
  ASSERT_TRUE(driver.child().send_signal(SIGTERM));
  // Answered while nothing more arrives (well within this generous bound).
  const auto answer = driver.child().read_line(std::chrono::seconds(10));
  EXPECT_EQ(answer.value_or("<no line>"),
            error_line({}, "CANCELED", "The transaction was canceled.", 0, false));
  // The rest of the frame and the abort frame: nothing of the stream was lost.
  driver.send(first.substr(first.size() / 2));
  driver.send(abort_frame());
  EXPECT_EQ(
      driver.next_line(),
      header("sourceAborted") +
          R"(,"errorCode":"CANCELED","errorMessage":"The transaction was canceled.",)"
          R"("bytesWritten":0,"sessionRetained":true})");
  driver.send(control_frame(simple_message("release", "rel")));
  EXPECT_EQ(driver.next_line(), released_line("rel"));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
}

TEST(SessionWriteTest, SourceFrameOverLimit_ImageNeverReadAsFrames) {
  SessionDriver driver(kMiB, kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.start());
  driver.send(driver.open_write_frame());
  ASSERT_EQ(driver.next_line(), driver.ready_line());
  // Behind the refused length, the frame's tag and image bytes that read as
  // an abort frame (00 00 00 01 02) and then a close command.
  driver.send(data_frame_head(4 * kMiB + 1) + std::string("\0\0\x01\x02", 4) +
              control_frame(simple_message("close", "c")));
  const std::string message =
      "Could not read the source stream: source frame exceeds the protocol limit";
  EXPECT_EQ(driver.next_line(), error_line({}, "IMAGE_MISSING", message, 0, false));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(1));
  EXPECT_EQ(driver.stderr_text(), "IMAGE_MISSING: " + message + "\n");
}

TEST(SessionWriteTest, InputClosedAfterWrite_ErrorNotRetainedExit1) {
  SessionDriver driver(kMiB, kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.open_and_write());
  driver.child().close_stdin();
  EXPECT_EQ(
      driver.next_line(),
      error_line({}, "UNKNOWN", "Could not read control-frame length: input ended early",
                 kMiB, false));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(1));
  EXPECT_EQ(driver.stderr_text(),
            "PROTOCOL_ERROR: Could not read control-frame length: input ended early\n");
}

// --- Cancellation and operation tracking ---------------------------------------------

// A verify long enough to be caught running: 16 steps of 4 MiB.
constexpr std::uint64_t kLongImage = 64 * kMiB;

TEST(SessionCancelTest, CancelMatchingRunningVerify_VerifyFailsCanceled) {
  SessionDriver driver(kLongImage, kLongImage);
  ASSERT_NO_FATAL_FAILURE(driver.open_and_write());
  driver.send(control_frame(verify_message("v1")));
  EXPECT_EQ(driver.next_line(), verify_progress_line("v1", 4 * kMiB, kLongImage));
  driver.send(control_frame(cancel_message(std::string("v1"))));
  EXPECT_EQ(
      driver.next_answer(),
      error_line("v1", "CANCELED", "The transaction was canceled.", kLongImage, true));
  // The flag stays set until a release clears it.
  driver.send(control_frame(read_message("r1", 0, 4)));
  EXPECT_EQ(
      driver.next_line(),
      error_line("r1", "CANCELED", "The transaction was canceled.", kLongImage, true));
  driver.send(control_frame(simple_message("release", "rel")));
  EXPECT_EQ(driver.next_line(), released_line("rel"));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
}

TEST(SessionCancelTest, LateAndUnknownCancels_DroppedOrAnswered) {
  SessionDriver driver(kMiB, kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.open_and_write());
  driver.send(control_frame(verify_message("v1")));
  EXPECT_EQ(driver.next_answer(), verify_result_line("v1", driver.image()));
  // Late: v1 finished; no event at all, and the flag stays clear.
  driver.send(control_frame(cancel_message(std::string("v1"))));
  // Unknown while idle: forwarded and answered.
  driver.send(control_frame(cancel_message(std::string("nope"))));
  EXPECT_EQ(driver.next_line(),
            error_line("nope", "CANCELED", "The requested operation was canceled.", kMiB,
                       true));
  driver.send(control_frame(cancel_message(std::nullopt)));
  EXPECT_EQ(driver.next_line(),
            error_line({}, "CANCELED", "The transaction was canceled.", kMiB, true));
  // release after cancel clears the flag first.
  driver.send(control_frame(simple_message("release", "rel")));
  EXPECT_EQ(driver.next_line(), released_line("rel"));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
}

TEST(SessionCancelTest, CancelMismatchingRunningVerify_EndsSessionAfterVerify) {
  SessionDriver driver(kLongImage, kLongImage);
  ASSERT_NO_FATAL_FAILURE(driver.open_and_write());
  driver.send(control_frame(verify_message("v1")));
  EXPECT_EQ(driver.next_line(), verify_progress_line("v1", 4 * kMiB, kLongImage));
  driver.send(control_frame(cancel_message(std::string("other"))));
  EXPECT_EQ(driver.next_answer(), verify_result_line("v1", driver.image()));
  EXPECT_EQ(
      driver.next_line(),
      error_line("other", "UNKNOWN", "Cancellation did not match the active operationId.",
                 kLongImage, false));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(1));
}

TEST(SessionCancelTest, SecondCommandWhileVerifyRuns_EndsSessionAfterVerify) {
  SessionDriver driver(kLongImage, kLongImage);
  ASSERT_NO_FATAL_FAILURE(driver.open_and_write());
  driver.send(control_frame(verify_message("v1")));
  EXPECT_EQ(driver.next_line(), verify_progress_line("v1", 4 * kMiB, kLongImage));
  driver.send(control_frame(read_message("r1", 0, 4)));
  EXPECT_EQ(driver.next_answer(), verify_result_line("v1", driver.image()));
  EXPECT_EQ(driver.next_line(), error_line("r1", "UNKNOWN", kBusy, kLongImage, false));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(1));
  EXPECT_EQ(driver.stderr_text(), std::string("PROTOCOL_ERROR: ") + kBusy + "\n");
}

TEST(SessionCancelTest, After129Operations_LateCancelForFirstIsForwarded) {
  SessionDriver driver(kMiB, kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.open_and_write());
  for (int n = 1; n <= 129; ++n) {
    const std::string id = "r" + std::to_string(n);
    driver.send(control_frame(read_message(id, 0, 3)));
    const std::string answer = driver.next_line();
    ASSERT_TRUE(
        answer.starts_with(header("readResult") + R"(,"operationId":")" + id + "\""))
        << answer;
  }
  // r2 is still remembered: dropped without an event. r1 is forgotten.
  driver.send(control_frame(cancel_message(std::string("r2"))));
  driver.send(control_frame(cancel_message(std::string("r1"))));
  EXPECT_EQ(
      driver.next_line(),
      error_line("r1", "CANCELED", "The requested operation was canceled.", kMiB, true));
  driver.send(control_frame(simple_message("release", "rel")));
  EXPECT_EQ(driver.next_line(), released_line("rel"));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
}

// --- Resources -----------------------------------------------------------------

// The helper's mapped address space in bytes, from /proc.
std::uint64_t mapped_bytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmSize:")) return std::stoull(line.substr(7)) * 1024;
  }
  return 0;
}

TEST(SessionResourceTest, AllocationFailureInCommandReader_EndsUnknownNotAbort) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer runtimes manage the address space themselves";
#endif
  SessionDriver driver(kMiB, kMiB);
  // One heap grown by brk, and every allocation of 64 KiB or more mapped on
  // its own: a limit on the address space refuses such an allocation at once.
  ASSERT_NO_FATAL_FAILURE(driver.start(
      {"GLIBC_TUNABLES=glibc.malloc.arena_max=1:glibc.malloc.mmap_threshold=65536"}));
  driver.send(driver.open_write_frame());
  ASSERT_EQ(driver.next_line(), driver.ready_line());
  for (const std::string& frame : driver.image_frames()) driver.send(frame);
  driver.send(end_frame());
  ASSERT_EQ(driver.next_answer(), driver.written_line());
  // Once a command was answered, the command reader runs and waits for input.
  driver.send(control_frame(read_message("r0", 0, 4)));
  ASSERT_TRUE(driver.next_line().starts_with(header("readResult")));
  const std::uint64_t mapped = mapped_bytes(driver.child().pid());
  ASSERT_GT(mapped, 0u);
  const rlimit limit = {.rlim_cur = mapped, .rlim_max = RLIM_INFINITY};
  ASSERT_EQ(::prlimit(driver.child().pid(), RLIMIT_AS, &limit, nullptr), 0);
  // The command reader allocates the 2 MiB body of the next frame; the
  // helper may end before it took the whole frame.
  const std::string command = control_frame(read_message("r1", 0, 4)).substr(4);
  (void)driver.child().write_stdin(
      job::raw_control_frame(command + std::string(2 * kMiB - command.size(), ' ')));
  EXPECT_EQ(driver.next_line(),
            error_line({}, "UNKNOWN", "The helper ran out of memory.", kMiB, false));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(1));
  EXPECT_EQ(driver.stderr_text(), "UNKNOWN: The helper ran out of memory.\n");
}

// --- Confinement ------------------------------------------------------------------

// The value of `field` in /proc/PID/status, "" when absent.
std::string status_field(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) {
      return line.substr(line.find_first_not_of(" \t", field.size() + 1));
    }
  }
  return "";
}

// Why this test tree cannot see the production confinement, or nothing.
const char* why_confinement_is_not_seen() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return "sanitized helpers run without the system-call filter";
#elif !defined(__linux__)
  return "confinement is Linux-only";
#else
  return ::geteuid() != 0 ? "the capability sets are those of root" : nullptr;
#endif
}

// CAP_SYS_ADMIN alone, as /proc shows a capability set.
constexpr const char* kSessionCapabilities = "0000000000200000";

TEST(SessionConfinementTest, ProductionHelper_ConfinedBeforeItReadsTheFirstFrame) {
  if (const char* why = why_confinement_is_not_seen()) GTEST_SKIP() << why;
  auto child = harness::ChildProcess::start(harness::production_helper_path(), {},
                                            harness::ChildOptions::piped());
  ASSERT_TRUE(child) << child.error();
  // The filter is the last step, taken before the first read: once /proc
  // shows it, the helper waits for its first frame, confined.
  for (int attempt = 0; attempt < 1000 && status_field(child->pid(), "Seccomp") != "2";
       ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(status_field(child->pid(), "Seccomp"), "2");
  EXPECT_EQ(status_field(child->pid(), "NoNewPrivs"), "1");
  EXPECT_EQ(status_field(child->pid(), "CapEff"), kSessionCapabilities);
  EXPECT_EQ(status_field(child->pid(), "CapPrm"), kSessionCapabilities);
  EXPECT_EQ(status_field(child->pid(), "CapBnd"), kSessionCapabilities);
  child->close_stdin();
  EXPECT_EQ(child->wait(), ExitStatus::exited_with(1));
}

TEST(SessionConfinementTest, HeldTarget_ProbeRefusedAndTheSessionWorksOn) {
  if (const char* why = why_confinement_is_not_seen()) GTEST_SKIP() << why;
  SessionDriver driver(kMiB, kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.start({"RAVIK_TESTING_CONFINEMENT_PROBE=1"}));
  driver.send(driver.open_write_frame());
  ASSERT_EQ(driver.next_line(), driver.ready_line());
  for (const std::string& frame : driver.image_frames()) driver.send(frame);
  driver.send(end_frame());
  ASSERT_EQ(driver.next_answer(), driver.written_line());
  const pid_t pid = driver.child().pid();
  EXPECT_EQ(status_field(pid, "NoNewPrivs"), "1");
  EXPECT_EQ(status_field(pid, "Seccomp"), "2");
  EXPECT_EQ(status_field(pid, "CapEff"), kSessionCapabilities);
  EXPECT_EQ(status_field(pid, "CapBnd"), kSessionCapabilities);
  driver.send(control_frame(verify_message("v")));
  EXPECT_EQ(driver.next_answer(), verify_result_line("v", driver.image()));
  driver.send(control_frame(simple_message("release", "end")));
  EXPECT_EQ(driver.next_answer(), released_line("end"));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
  EXPECT_EQ(
      driver.stderr_text(),
      "confinement probe: execve=EPERM fork=EPERM ptrace=EPERM init_module=EPERM\n");
}

TEST(SessionConfinementTest, HeldTarget_NoOtherFileReachableAfterTheWrite) {
  if (const char* why = why_confinement_is_not_seen()) GTEST_SKIP() << why;
  if (const char* why = testing::why_file_layers_are_not_seen()) GTEST_SKIP() << why;
  const testing::FileProbe probe;
  SessionDriver driver(kMiB, kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.start(probe.environment()));
  driver.send(driver.open_write_frame());
  ASSERT_EQ(driver.next_line(), driver.ready_line());
  for (const std::string& frame : driver.image_frames()) driver.send(frame);
  driver.send(end_frame());
  ASSERT_EQ(driver.next_answer(), driver.written_line());
  driver.send(control_frame(verify_message("v")));
  EXPECT_EQ(driver.next_answer(), verify_result_line("v", driver.image()));
  driver.send(control_frame(simple_message("release", "end")));
  EXPECT_EQ(driver.next_answer(), released_line("end"));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
  EXPECT_EQ(driver.stderr_text(), testing::FileProbe::refused_line(false, true));
}

TEST(SessionConfinementTest, TestingHelperSwitchedOff_RunsUnconfined) {
  SessionDriver driver(kMiB, kMiB);
  ASSERT_NO_FATAL_FAILURE(driver.start({"RAVIK_TESTING_UNCONFINED=1"}));
  driver.send(driver.open_write_frame());
  ASSERT_EQ(driver.next_line(), driver.ready_line());
  EXPECT_EQ(status_field(driver.child().pid(), "NoNewPrivs"), "0");
  EXPECT_EQ(status_field(driver.child().pid(), "Seccomp"), "0");
  driver.child().close_stdin();
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(1));
}

}  // namespace
}  // namespace ravik::session_test
