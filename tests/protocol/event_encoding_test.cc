#include "protocol/event_encoding.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "error/utf8.h"

namespace ravik {
namespace {

constexpr std::string_view kHead =
    R"("protocolVersion":1,"requestId":"req","sessionId":"ses","taskId":"task")";

std::string line(std::string_view kind, std::string_view rest) {
  return "{\"event\":\"" + std::string(kind) + "\"," + std::string(kHead) +
         std::string(rest) + "}";
}

ServerEvent event(ServerEventBody body) {
  return ServerEvent{EventHeader{1, "req", "ses", "task"}, std::move(body)};
}

HeldTargetIdentity identity() {
  return HeldTargetIdentity{.platform = PlatformName::kMacos,
                            .device_id = "disk4",
                            .device_path = "/dev/rdisk4",
                            .size_bytes = 8000000000,
                            .serial = std::nullopt,
                            .topology_path = "usb/1",
                            .model = "Stick",
                            .removable = true,
                            .writable = true,
                            .mounted = false,
                            .whole_device = true};
}

TEST(EncodeEvent, ReadyAndProgress_NestedRecordsAndOmittedMembers) {
  EXPECT_EQ(
      encode_event(
          event(ReadyEvent{identity(), 512, {MaintenanceLeaseMode::kShared, "ab"}})),
      line(
          "ready",
          R"(,"target":{"platform":"macos","deviceId":"disk4","devicePath":"/dev/rdisk4",)"
          R"("sizeBytes":8000000000,"topologyPath":"usb/1","model":"Stick","removable":true,)"
          R"("writable":true,"mounted":false,"wholeDevice":true},"logicalBlockSize":512,)"
          R"("maintenanceLease":{"mode":"shared","leaseId":"ab"})"));
  auto all = identity();
  all.serial = "S1";
  all.platform = PlatformName::kLinux;
  all.topology_path.reset();
  all.model.reset();
  EXPECT_EQ(
      encode_event(event(ReadyEvent{all, 4096, {MaintenanceLeaseMode::kShared, "x"}})),
      line(
          "ready",
          R"(,"target":{"platform":"linux","deviceId":"disk4","devicePath":"/dev/rdisk4",)"
          R"("sizeBytes":8000000000,"serial":"S1","removable":true,"writable":true,)"
          R"("mounted":false,"wholeDevice":true},"logicalBlockSize":4096,)"
          R"("maintenanceLease":{"mode":"shared","leaseId":"x"})"));
  EXPECT_EQ(
      encode_event(
          event(ProgressEvent{std::nullopt, ProgressStage::kWrite, 1, 2, 3, "m"})),
      line(
          "progress",
          R"(,"stage":"WRITE","bytesProcessed":1,"bytesTotal":2,"speedBps":3,"message":"m")"));
  EXPECT_EQ(
      encode_event(event(
          ProgressEvent{"op", ProgressStage::kVerify, 0, 18446744073709551615u, 0, ""})),
      line("progress", R"(,"operationId":"op","stage":"VERIFY","bytesProcessed":0,)"
                       R"("bytesTotal":18446744073709551615,"speedBps":0,"message":"")"));
  const std::pair<ProgressStage, const char*> stages[] = {
      {ProgressStage::kOpen, "OPEN"},       {ProgressStage::kFlush, "FLUSH"},
      {ProgressStage::kRead, "READ"},       {ProgressStage::kCustomize, "CUSTOMIZE"},
      {ProgressStage::kRecover, "RECOVER"}, {ProgressStage::kEject, "EJECT"}};
  for (const auto& [stage, name] : stages) EXPECT_EQ(wire_name(stage), name);
}

TEST(EncodeEvent, WriteOutcomes_FixedMemberOrder) {
  EXPECT_EQ(
      encode_event(event(WrittenEvent{10, 512, "aa", 7, 9, true, 4096, true, false})),
      line("written",
           R"(,"bytesWritten":10,"targetBytesWritten":512,"sourceSha256":"aa",)"
           R"("writeDurationMs":7,"writeSpeedBps":9,"flushCompleted":true,)"
           R"("protectedPrefixBytes":4096,"protectedBodyVerified":true,)"
           R"("protectedPrefixVerified":false)"));
  EXPECT_EQ(
      encode_event(event(SourceAbortedEvent::from_error(
          HelperError(codes::kCanceled, "stopped\r\nnow"), 4096, true))),
      line("sourceAborted",
           R"(,"errorCode":"CANCELED","errorMessage":"stopped  now","bytesWritten":4096,)"
           R"("sessionRetained":true)"));
}

TEST(EncodeEvent, ErrorEvent_OkFalseAndOptionalMembers) {
  // A protocol error travels as UNKNOWN; the message passes safe_message.
  EXPECT_EQ(
      encode_event(event(ErrorEvent::from_error(HelperError(codes::kProtocolError, "bad"),
                                                std::nullopt, std::nullopt, false))),
      line(
          "error",
          R"(,"ok":false,"errorCode":"UNKNOWN","errorMessage":"bad","sessionRetained":false)"));
  EXPECT_EQ(
      encode_event(event(
          ErrorEvent::from_error(HelperError(codes::kWriteFailed, ""), "op", 0, true))),
      line("error", R"(,"operationId":"op","ok":false,"errorCode":"WRITE_FAILED",)"
                    R"("errorMessage":"The helper operation failed.","bytesWritten":0,)"
                    R"("sessionRetained":true)"));
}

TEST(EncodeEvent, CommandAnswers_FixedMemberOrder) {
  EXPECT_EQ(
      encode_event(
          event(VerifyResultEvent{"v", VerifyModeWire::kFull, 5, "s", "t", true})),
      line("verifyResult",
           R"(,"operationId":"v","mode":"full","bytesVerified":5,"sourceSha256":"s",)"
           R"("targetSha256":"t","matches":true)"));
  EXPECT_EQ(
      encode_event(event(ReadResultEvent{"r", 1, 2, "QQ=="})),
      line("readResult",
           R"(,"operationId":"r","offsetBytes":1,"lengthBytes":2,"dataBase64":"QQ==")"));
  EXPECT_EQ(encode_event(event(BootOpenedEvent{"b", 4294967295u})),
            line("bootOpened", R"(,"operationId":"b","partitionNumber":4294967295)"));
  EXPECT_EQ(encode_event(event(BootFileEvent{"f", "config.txt", false, std::nullopt})),
            line("bootFile",
                 R"(,"operationId":"f","relativePath":"config.txt","exists":false)"));
  EXPECT_EQ(
      encode_event(event(BootFileEvent{"f", "a", true, ""})),
      line("bootFile",
           R"(,"operationId":"f","relativePath":"a","exists":true,"dataBase64":"")"));
  EXPECT_EQ(
      encode_event(event(BootFileWrittenEvent{"w", "a", 3, true})),
      line(
          "bootFileWritten",
          R"(,"operationId":"w","relativePath":"a","bytesWritten":3,"flushCompleted":true)"));
  EXPECT_EQ(encode_event(event(BootClosedEvent{"c", true, false})),
            line("bootClosed",
                 R"(,"operationId":"c","flushCompleted":true,"unmounted":false)"));
  EXPECT_EQ(encode_event(event(RecoveryResultEvent{"x", true, RecoveryFilesystem::kFat32,
                                                   "MY DISK", true})),
            line("recoveryResult",
                 R"(,"operationId":"x","recovered":true,"filesystem":"fat32",)"
                 R"("volumeLabel":"MY DISK","flushCompleted":true)"));
  EXPECT_EQ(
      encode_event(event(ClosedEvent{"c", true, true, false})),
      line("closed", R"(,"operationId":"c","flushCompleted":true,"bootUnmounted":true,)"
                     R"("safeToRemove":false)"));
  EXPECT_EQ(
      encode_event(event(ResultEvent{"e", true, true, true, false})),
      line("result",
           R"(,"operationId":"e","ok":true,"flushCompleted":true,"safeToRemove":true,)"
           R"("improperRemovalClueExpected":false)"));
  EXPECT_EQ(
      encode_event(event(ReleasedEvent{"l", true, true, true})),
      line("released", R"(,"operationId":"l","flushCompleted":true,"safeToRemove":true,)"
                       R"("improperRemovalClueExpected":true)"));
}

TEST(EncodeEvent, Strings_MinimalEscapes) {
  auto encoded_message = [](std::string text) {
    const std::string encoded = encode_event(
        event(ProgressEvent{std::nullopt, ProgressStage::kWrite, 0, 0, 0, text}));
    const auto start = encoded.find("\"message\":") + 10;
    return encoded.substr(start, encoded.size() - start - 1);
  };
  EXPECT_EQ(encoded_message("q\"b\\s/"), R"("q\"b\\s/")");
  EXPECT_EQ(encoded_message("\b\f\n\r\t"), R"("\b\f\n\r\t")");
  EXPECT_EQ(encoded_message(std::string("\0\x01\x1f\x0b", 4)),
            R"("\u0000\u0001\u001f\u000b")");
  // DEL and non-ASCII text are written unchanged.
  EXPECT_EQ(encoded_message("\x7f\xC3\xA9\xF0\x9F\x98\x80"),
            "\"\x7f\xC3\xA9\xF0\x9F\x98\x80\"");
}

TEST(EncodeEvent, InvalidUtf8_ReplacedSoTheLineStaysValidJson) {
  HeldTargetIdentity target = identity();
  target.model = "bad\xFF\xC3(\xED\xA0\x80 end";  // stray, truncated and surrogate bytes
  target.device_id = "\xC3";                      // a lone lead byte at the end
  const std::string encoded =
      encode_event(event(ReadyEvent{target, 512, {MaintenanceLeaseMode::kShared, "x"}}));
  EXPECT_TRUE(is_valid_utf8(encoded));
  const auto parsed = nlohmann::json::parse(encoded);
  EXPECT_EQ(parsed["target"]["model"],
            "bad\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD end");
  EXPECT_EQ(parsed["target"]["deviceId"], "\xEF\xBF\xBD");
}

TEST(EncodeEvent, CapacityProbed_OffsetsOnlyWhenFound) {
  CapacityProbedEvent probed{.operation_id = "p",
                             .reported_bytes = 4096,
                             .verified_bytes = 4096,
                             .finding = CapacityFinding::kGenuine,
                             .blocks_probed = 8,
                             .first_bad_offset_bytes = std::nullopt,
                             .wraps_to_offset_bytes = std::nullopt};
  EXPECT_EQ(encode_event(event(probed)),
            line("capacityProbed", R"(,"operationId":"p","reportedBytes":4096,)"
                                   R"("verifiedBytes":4096,"finding":"genuine",)"
                                   R"("blocksProbed":8)"));
  probed.verified_bytes = 1024;
  probed.first_bad_offset_bytes = 1024;
  probed.wraps_to_offset_bytes = 0;
  probed.finding = CapacityFinding::kWrapAround;
  EXPECT_EQ(encode_event(event(probed)),
            line("capacityProbed", R"(,"operationId":"p","reportedBytes":4096,)"
                                   R"("verifiedBytes":1024,"finding":"wrapAround",)"
                                   R"("blocksProbed":8,"firstBadOffsetBytes":1024,)"
                                   R"("wrapsToOffsetBytes":0)"));
  probed.wraps_to_offset_bytes.reset();
  probed.finding = CapacityFinding::kDroppedWrites;
  EXPECT_NE(
      encode_event(event(probed))
          .find(
              R"("finding":"droppedWrites","blocksProbed":8,"firstBadOffsetBytes":1024})"),
      std::string::npos);
}

}  // namespace
}  // namespace ravik
