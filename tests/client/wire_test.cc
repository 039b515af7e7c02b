#include "job/wire.h"

#include <gtest/gtest.h>

#include "job/messages.h"

namespace ravik::job {
namespace {

TEST(WireTest, Frames_HaveBigEndianLengthAndTag) {
  EXPECT_EQ(raw_control_frame("{}"), std::string("\0\0\0\x02{}", 6));
  EXPECT_EQ(end_frame(), std::string("\0\0\0\x01\x01", 5));
  EXPECT_EQ(abort_frame(), std::string("\0\0\0\x01\x02", 5));
  EXPECT_EQ(data_frame("abc"), std::string("\0\0\0\x04\0abc", 8));
  // 4 MiB of payload plus the tag: 0x00400001.
  EXPECT_EQ(data_frame_head(kMaxSourcePayload), std::string("\0\x40\0\x01\0", 5));
}

TEST(WireTest, Messages_AreCompactJsonInWireOrder) {
  EXPECT_EQ(control_frame(cancel_message(std::nullopt)).substr(4),
            R"({"type":"cancel","protocolVersion":1})");
  EXPECT_EQ(control_frame(read_message("r1", 10, 20)).substr(4),
            R"({"type":"read","protocolVersion":1,"operationId":"r1","offsetBytes":10,)"
            R"("lengthBytes":20})");
  OpenWriteFields fields;
  fields.ids = {"q", "s", "t"};
  fields.target.device_id = "disk.img";
  fields.target.device_path = "/tmp/disk.img";
  fields.target.size_bytes = 4096;
  fields.bytes_total = 512;
  fields.sha256 = std::string(64, 'a');
  fields.allow_regular_file = true;
  EXPECT_EQ(
      open_write_message(fields).dump(),
      R"({"type":"open_write","protocolVersion":1,"requestId":"q","sessionId":"s",)"
      R"("taskId":"t","target":{"platform":"linux","deviceId":"disk.img",)"
      R"("devicePath":"/tmp/disk.img","sizeBytes":4096},"source":{"bytesTotal":512,)"
      R"("sha256":")" +
          std::string(64, 'a') +
          R"("},"tailPolicy":"exact","protectedPrefixBytes":0,)"
          R"("testOnlyAllowRegularFile":true})");
}

TEST(WireTest, ParseEventLine_ReadsMembersAndRejectsNonObjects) {
  auto event = parse_event_line(
      R"({"event":"error","ok":false,"errorCode":"CANCELED","bytesWritten":7,"sessionRetained":true})");
  ASSERT_TRUE(event);
  EXPECT_EQ(event->kind(), "error");
  EXPECT_EQ(event->text("errorCode"), std::optional<std::string>("CANCELED"));
  EXPECT_EQ(event->number("bytesWritten"), std::optional<std::uint64_t>(7));
  EXPECT_EQ(event->flag("sessionRetained"), std::optional<bool>(true));
  EXPECT_EQ(event->flag("errorCode"), std::nullopt);  // wrong type
  EXPECT_EQ(event->text("operationId"), std::nullopt);
  EXPECT_FALSE(parse_event_line("[1,2]"));
  EXPECT_FALSE(parse_event_line("{\"event\":"));
}

}  // namespace
}  // namespace ravik::job
