#include "protocol/control_frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "support/scripted_streams.h"

namespace ravik {
namespace {

using testing::frame;
using ::testing::HasSubstr;
using testing::length_prefix;
using testing::ScriptedBufferedInput;
using ::testing::StartsWith;

const std::string kClose = R"({"type":"close","protocolVersion":1,"operationId":"c"})";
const std::string kEject = R"({"type":"eject","protocolVersion":1,"operationId":"e"})";

std::string error_of(const Result<ClientMessage>& result) {
  EXPECT_FALSE(result.has_value());
  if (result) return "";
  EXPECT_EQ(result.error().code(), codes::kProtocolError);
  return result.error().message();
}

// A body of exactly `size` bytes: the command padded with trailing spaces.
std::string padded(const std::string& command, std::size_t size) {
  return command + std::string(size - command.size(), ' ');
}

TEST(ReadFrame, Commands_DecodedInStreamOrder) {
  ScriptedBufferedInput s(frame(kClose) + frame("\n " + kEject + " \r\n\t"), 1);
  auto first = read_frame(s.input);
  ASSERT_TRUE(first.has_value()) << first.error().message();
  EXPECT_EQ(std::get<CloseCommand>(first->payload).operation_id, "c");
  auto second = read_frame(s.input);
  ASSERT_TRUE(second.has_value()) << second.error().message();
  EXPECT_EQ(std::get<EjectCommand>(second->payload).operation_id, "e");
  EXPECT_EQ(s.consumed(), 8 + kClose.size() + kEject.size() + 6);
}

TEST(ReadFrame, LengthLimits_EmptyStaysAlignedOversizeDoesNot) {
  const std::string at_limit = padded(kClose, kMaxControlFrameBytes);
  ScriptedBufferedInput s(length_prefix(0) + frame(at_limit) + length_prefix(2097153) +
                          frame(kEject));
  EXPECT_EQ(error_of(read_frame(s.input)), "Control frames cannot be empty.");
  EXPECT_EQ(s.consumed(), 4u);
  auto accepted = read_frame(s.input);
  ASSERT_TRUE(accepted.has_value()) << accepted.error().message();
  EXPECT_EQ(accepted->type_name(), "close");
  EXPECT_EQ(error_of(read_frame(s.input)),
            "Control frame length 2097153 exceeds the 2097152 byte limit.");
  // Only the length was consumed; the body was never read.
  EXPECT_EQ(s.consumed(), 4 + 4 + kMaxControlFrameBytes + 4);

  ScriptedBufferedInput huge(length_prefix(0xFFFFFFFF));
  EXPECT_EQ(error_of(read_frame(huge.input)),
            "Control frame length 4294967295 exceeds the 2097152 byte limit.");
}

TEST(ReadFrame, EarlyEndOrFailure_MappedWithContext) {
  ScriptedBufferedInput nothing("");
  EXPECT_EQ(error_of(read_frame(nothing.input)),
            "Could not read control-frame length: input ended early");
  ScriptedBufferedInput two_bytes(std::string("\0\0", 2));
  EXPECT_EQ(error_of(read_frame(two_bytes.input)),
            "Could not read control-frame length: input ended early");
  ScriptedBufferedInput cut_body(frame(kClose).substr(0, 20));
  EXPECT_EQ(error_of(read_frame(cut_body.input)),
            "Could not read complete control frame: input ended early");

  auto log = std::make_shared<testing::InputLog>();
  auto raw = std::make_unique<testing::ScriptedInput>(frame(kClose), log);
  raw->fail_at(10, IoError::from_errno(EIO));
  BufferedInput failing(std::move(raw));
  const std::string message = error_of(read_frame(failing));
  EXPECT_THAT(message, StartsWith("Could not read complete control frame: "));
  EXPECT_THAT(message, HasSubstr("(os error 5)"));

  EXPECT_EQ(map_frame_io("Context", IoError::with_text(IoErrorKind::kOther, "broken"))
                .message(),
            "Context: broken");
}

TEST(ReadFrame, DecodingBeforeVersion_BothLeaveTheStreamAligned) {
  const std::string version2 =
      R"({"type":"close","protocolVersion":2,"operationId":"c"})";
  const std::string version_and_schema =
      R"({"type":"close","protocolVersion":2,"operationId":"c","extra":1})";
  const std::string version_65536 =
      R"({"type":"close","protocolVersion":65536,"operationId":"c"})";
  const std::string version_negative =
      R"({"type":"close","protocolVersion":-1,"operationId":"c"})";
  const std::string two_objects = kClose + kEject;
  ScriptedBufferedInput s(frame(version2) + frame(version_and_schema) +
                          frame(version_65536) + frame(version_negative) +
                          frame(two_objects) + frame("\xEF\xBB\xBF{}") + frame(kEject));
  EXPECT_EQ(error_of(read_frame(s.input)), "Unsupported protocol version 2; expected 1.");
  EXPECT_EQ(error_of(read_frame(s.input)),
            "Invalid control-frame JSON: unknown member \"extra\"");
  EXPECT_EQ(error_of(read_frame(s.input)),
            "Invalid control-frame JSON: member \"protocolVersion\" is 65536, above its "
            "maximum 65535");
  EXPECT_THAT(error_of(read_frame(s.input)), StartsWith("Invalid control-frame JSON: "));
  EXPECT_THAT(error_of(read_frame(s.input)),
              StartsWith("Invalid control-frame JSON: parse error at line 1, column "));
  EXPECT_EQ(error_of(read_frame(s.input)),
            "Invalid control-frame JSON: byte order mark at line 1, column 1");
  auto next = read_frame(s.input);
  ASSERT_TRUE(next.has_value()) << next.error().message();
  EXPECT_EQ(next->type_name(), "eject");
}

}  // namespace
}  // namespace ravik
