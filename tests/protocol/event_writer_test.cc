#include "protocol/event_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "protocol/event_encoding.h"
#include "support/scripted_streams.h"

namespace ravik {
namespace {

using testing::OutputLog;
using testing::RecordingOutput;
using ::testing::StartsWith;

ServerEvent progress(std::string message) {
  return ServerEvent{
      EventHeader{1, "r", "s", "t"},
      ProgressEvent{std::nullopt, ProgressStage::kWrite, 1, 2, 3, std::move(message)}};
}

TEST(WriteEvent, OneLinePerEvent_FlushedEachTime) {
  auto log = std::make_shared<OutputLog>();
  BufferedOutput out(std::make_unique<RecordingOutput>(log));
  const auto first = progress("line\nbreak");
  ASSERT_TRUE(write_event(out, first).has_value());
  EXPECT_EQ(log->written, encode_event(first) + "\n");
  EXPECT_EQ(std::count(log->written.begin(), log->written.end(), '\n'), 1);
  const auto second = progress(std::string(20000, 'x'));  // larger than the buffer
  ASSERT_TRUE(write_event(out, second).has_value());
  EXPECT_EQ(log->written, encode_event(first) + "\n" + encode_event(second) + "\n");
  EXPECT_EQ(out.buffered(), 0u);
}

TEST(WriteEvent, Failures_EncodeVersusWrite) {
  auto log = std::make_shared<OutputLog>();
  BufferedOutput out(std::make_unique<RecordingOutput>(log));
  // A small event is only buffered, so a broken output shows at the flush.
  log->fail_next = IoError::from_errno(EPIPE);
  auto at_flush = write_event(out, progress("m"));
  ASSERT_FALSE(at_flush.has_value());
  EXPECT_EQ(at_flush.error().code(), codes::kUnknown);
  EXPECT_EQ(
      at_flush.error().message(),
      HelperError::io(codes::kUnknown, "Could not write helper event", EPIPE).message());

  // An event larger than the buffer is handed out while it is written.
  auto big_log = std::make_shared<OutputLog>();
  BufferedOutput big_out(std::make_unique<RecordingOutput>(big_log));
  big_log->fail_next = IoError::with_text(IoErrorKind::kOther, "device gone");
  auto while_encoding = write_event(big_out, progress(std::string(10000, 'y')));
  ASSERT_FALSE(while_encoding.has_value());
  EXPECT_EQ(while_encoding.error().code(), codes::kProtocolError);
  EXPECT_EQ(while_encoding.error().message(),
            "Could not encode helper event: device gone");
}

}  // namespace
}  // namespace ravik
