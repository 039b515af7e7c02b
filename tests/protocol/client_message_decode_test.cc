#include "protocol/client_message_decode.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace ravik {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;

const char* const kSha =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

json open_write() {
  return json{{"type", "open_write"},
              {"protocolVersion", 1},
              {"requestId", "req"},
              {"sessionId", "ses"},
              {"taskId", "task"},
              {"target",
               {{"platform", "macos"},
                {"deviceId", "disk4"},
                {"devicePath", "/dev/rdisk4"},
                {"sizeBytes", 8000000000u}}},
              {"source", {{"bytesTotal", 1048576}, {"sha256", kSha}}},
              {"tailPolicy", "zero-pad-sector"}};
}

std::string description(const json& message) {
  auto decoded = decode_client_message(message.dump());
  EXPECT_FALSE(decoded.has_value()) << message.dump();
  return decoded ? std::string() : decoded.error().description;
}

TEST(DecodeClientMessage, OpenWrite_AllMembersAndDefaults) {
  auto decoded = decode_client_message(open_write().dump());
  ASSERT_TRUE(decoded.has_value()) << decoded.error().description;
  EXPECT_EQ(decoded->type_name(), "open_write");
  EXPECT_EQ(decoded->protocol_version(), 1);
  const auto& request = std::get<OpenWriteRequest>(decoded->payload);
  EXPECT_EQ(request.request_id, "req");
  EXPECT_EQ(request.session_id, "ses");
  EXPECT_EQ(request.task_id, "task");
  EXPECT_EQ(request.target.platform, PlatformName::kMacos);
  EXPECT_EQ(request.target.device_id, "disk4");
  EXPECT_EQ(request.target.device_path, "/dev/rdisk4");
  EXPECT_EQ(request.target.size_bytes, 8000000000u);
  EXPECT_FALSE(request.target.serial || request.target.topology_path ||
               request.target.model);
  EXPECT_EQ(request.source.bytes_total, 1048576u);
  EXPECT_EQ(request.source.sha256, kSha);
  EXPECT_EQ(request.tail_policy, TailPolicy::kZeroPadSector);
  EXPECT_EQ(request.protected_prefix_bytes, 0u);
  EXPECT_FALSE(request.test_only_allow_regular_file);

  auto full = open_write();
  full["protectedPrefixBytes"] = 4096;
  full["testOnlyAllowRegularFile"] = true;
  full["tailPolicy"] = "exact";
  full["target"]["platform"] = "linux";
  full["target"]["serial"] = nullptr;  // the same as leaving it out
  full["target"]["topologyPath"] = "usb/1";
  full["target"]["model"] = "Stick";
  auto decoded_full = decode_client_message(full.dump());
  ASSERT_TRUE(decoded_full.has_value()) << decoded_full.error().description;
  const auto& r = std::get<OpenWriteRequest>(decoded_full->payload);
  EXPECT_EQ(r.protected_prefix_bytes, 4096u);
  EXPECT_TRUE(r.test_only_allow_regular_file);
  EXPECT_EQ(r.tail_policy, TailPolicy::kExact);
  EXPECT_EQ(r.target.platform, PlatformName::kLinux);
  EXPECT_EQ(r.target.serial, std::nullopt);
  EXPECT_EQ(r.target.topology_path, "usb/1");
  EXPECT_EQ(r.target.model, "Stick");
}

TEST(DecodeClientMessage, RecordVariants_DecodeWithTheirMembers) {
  auto decode = [](const std::string& text) {
    auto decoded = decode_client_message(text);
    EXPECT_TRUE(decoded.has_value()) << text << ": " << decoded.error().description;
    return decoded ? *decoded : ClientMessage{CancelCommand{}};
  };
  // The tag may stand anywhere in the object.
  auto verify =
      decode(R"({"protocolVersion":1,"operationId":"v","mode":"full","type":"verify"})");
  EXPECT_EQ(std::get<VerifyCommand>(verify.payload).operation_id, "v");
  auto read = decode(
      R"({"type":"read","protocolVersion":1,"operationId":"r","offsetBytes":18446744073709551615,"lengthBytes":3})");
  EXPECT_EQ(std::get<ReadCommand>(read.payload).offset_bytes, 18446744073709551615u);
  EXPECT_EQ(std::get<ReadCommand>(read.payload).length_bytes, 3u);
  auto boot = decode(
      R"({"type":"openBoot","protocolVersion":1,"operationId":"b","partitionNumber":4294967295})");
  EXPECT_EQ(std::get<OpenBootCommand>(boot.payload).partition_number, 4294967295u);
  auto read_file = decode(
      R"({"type":"bootReadFile","protocolVersion":1,"operationId":"f","relativePath":"config.txt"})");
  EXPECT_EQ(std::get<BootReadFileCommand>(read_file.payload).relative_path, "config.txt");
  auto write_file = decode(
      R"({"type":"bootWriteFile","protocolVersion":1,"operationId":"w","relativePath":"a","dataBase64":"QQ==","executable":false})");
  EXPECT_EQ(std::get<BootWriteFileCommand>(write_file.payload).data_base64, "QQ==");
  auto recover = decode(
      R"({"type":"recover","protocolVersion":1,"operationId":"x","filesystem":"fat32","volumeLabel":"BOOT"})");
  EXPECT_EQ(std::get<RecoverCommand>(recover.payload).volume_label, "BOOT");
  EXPECT_EQ(
      decode(R"({"type":"closeBoot","protocolVersion":1,"operationId":"c"})").type_name(),
      "closeBoot");
  EXPECT_EQ(
      decode(R"({"type":"eject","protocolVersion":1,"operationId":"e"})").type_name(),
      "eject");
  EXPECT_EQ(
      decode(R"({"type":"release","protocolVersion":1,"operationId":"e"})").type_name(),
      "release");
  EXPECT_EQ(
      decode(R"({"type":"close","protocolVersion":1,"operationId":"e"})").type_name(),
      "close");
  auto format = decode(
      R"({"type":"open_format","protocolVersion":2,"requestId":"a","sessionId":"b","taskId":"c",
          "target":{"platform":"macos","deviceId":"disk2","devicePath":"/dev/rdisk2","sizeBytes":1}})");
  EXPECT_EQ(format.protocol_version(), 2);  // checked by read_frame, not here
  EXPECT_EQ(std::get<OpenFormatRequest>(format.payload).target.device_id, "disk2");
  // cancel alone may leave operationId out (or null).
  auto cancel = decode(R"({"type":"cancel","protocolVersion":1})");
  EXPECT_EQ(std::get<CancelCommand>(cancel.payload).operation_id, std::nullopt);
  auto cancel_null =
      decode(R"({"type":"cancel","protocolVersion":1,"operationId":null})");
  EXPECT_EQ(std::get<CancelCommand>(cancel_null.payload).operation_id, std::nullopt);
  auto cancel_id = decode(R"({"type":"cancel","protocolVersion":1,"operationId":"v"})");
  EXPECT_EQ(std::get<CancelCommand>(cancel_id.payload).operation_id, "v");
}

TEST(DecodeClientMessage, UnknownOrMissingMembers_RefusedAtEveryLevel) {
  EXPECT_EQ(description(json::parse(R"({"type":"close","protocolVersion":1})")),
            "missing member \"operationId\"");
  EXPECT_EQ(
      description(json::parse(
          R"({"type":"verify","protocolVersion":1,"operationId":"v","mode":"full","force":true})")),
      "unknown member \"force\"");
  auto vendor = open_write();
  vendor["target"]["vendor"] = "Acme";
  EXPECT_EQ(description(vendor), "unknown member \"target.vendor\"");
  auto source_extra = open_write();
  source_extra["source"]["name"] = "x";
  EXPECT_EQ(description(source_extra), "unknown member \"source.name\"");
  auto no_size = open_write();
  no_size["target"].erase("sizeBytes");
  EXPECT_EQ(description(no_size), "missing member \"target.sizeBytes\"");
  auto no_source = open_write();
  no_source.erase("source");
  EXPECT_EQ(description(no_source), "missing member \"source\"");
  auto format_with_source = open_write();
  format_with_source["type"] = "open_format";
  EXPECT_THAT(description(format_with_source), HasSubstr("unknown member"));
  EXPECT_EQ(description(json::parse(R"({"protocolVersion":1})")),
            "missing member \"type\"");
  EXPECT_EQ(description(json::parse("[]")), "expected a JSON object, found an array");
}

TEST(DecodeClientMessage, WrongTypesAndRanges_AreDecodingErrors) {
  auto with = [](const char* pointer, json value) {
    auto message = open_write();
    message[json::json_pointer(pointer)] = std::move(value);
    return description(message);
  };
  EXPECT_EQ(with("/target/sizeBytes", "8000"),
            "member \"target.sizeBytes\" must be an unsigned integer, not a string");
  EXPECT_EQ(
      with("/target/sizeBytes", -1),
      "member \"target.sizeBytes\" must be an unsigned integer, not a negative integer");
  EXPECT_EQ(with("/protocolVersion", 65536),
            "member \"protocolVersion\" is 65536, above its maximum 65535");
  EXPECT_THAT(with("/protocolVersion", -1), HasSubstr("negative integer"));
  EXPECT_THAT(with("/protectedPrefixBytes", nullptr), HasSubstr("not null"));
  EXPECT_THAT(with("/testOnlyAllowRegularFile", nullptr), HasSubstr("not null"));
  EXPECT_THAT(with("/testOnlyAllowRegularFile", 1), HasSubstr("must be true or false"));
  EXPECT_THAT(with("/requestId", nullptr), HasSubstr("must be a string, not null"));
  EXPECT_THAT(with("/target/model", 5), HasSubstr("must be a string or null"));
  EXPECT_THAT(with("/target", "disk4"), HasSubstr("must be an object, not a string"));
  EXPECT_EQ(with("/tailPolicy", "Exact"),
            "member \"tailPolicy\" has an unknown value \"Exact\"");
  EXPECT_EQ(with("/target/platform", "windows"),
            "member \"target.platform\" has an unknown value \"windows\"");
  EXPECT_EQ(
      description(json::parse(
          R"({"type":"openBoot","protocolVersion":1,"operationId":"b","partitionNumber":4294967296})")),
      "member \"partitionNumber\" is 4294967296, above its maximum 4294967295");
  EXPECT_THAT(
      description(json::parse(
          R"({"type":"recover","protocolVersion":1,"operationId":"x","filesystem":"FAT32","volumeLabel":"A"})")),
      HasSubstr("unknown value \"FAT32\""));
  // Fractions and exponents are refused by the parser, with a position.
  auto fraction = decode_client_message(R"({"type":"cancel","protocolVersion":1.0})");
  ASSERT_FALSE(fraction.has_value());
  EXPECT_THAT(fraction.error().description, HasSubstr("at line 1, column 38"));
}

TEST(DecodeClientMessage, UnknownTypes_CaseSensitive) {
  for (const char* type : {"openboot", "openWrite", "OPEN_WRITE", "", "bogus"}) {
    auto message = open_write();
    message["type"] = type;
    EXPECT_THAT(description(message), HasSubstr("member \"type\" has an unknown value"))
        << type;
  }
  auto message = open_write();
  message["type"] = 1;
  EXPECT_EQ(description(message),
            "member \"type\" must be a string, not a non-negative integer");
}

TEST(DecodeClientMessage, DuplicateMembers_RefusedEvenWhenEqual) {
  const std::string text = open_write().dump();
  const std::string repeated = text.substr(0, text.size() - 1) + R"(,"taskId":"task"})";
  auto decoded = decode_client_message(repeated);
  ASSERT_FALSE(decoded.has_value());
  EXPECT_THAT(decoded.error().description,
              HasSubstr("duplicate member \"taskId\" at line 1"));
}

// open_read takes exactly the members of open_format; probeCapacity only
// the record head.
TEST(DecodeClientMessage, OpenReadAndProbeCapacity_TheirMembersOnly) {
  json read = open_write();
  read["type"] = "open_read";
  read.erase("tailPolicy");
  EXPECT_NE(description(read).find("source"), std::string::npos);
  read.erase("source");
  read["testOnlyAllowRegularFile"] = true;
  auto decoded = decode_client_message(read.dump());
  ASSERT_TRUE(decoded.has_value()) << decoded.error().description;
  const auto& request = std::get<OpenReadRequest>(decoded->payload);
  EXPECT_EQ(request.target.device_id, "disk4");
  EXPECT_TRUE(request.test_only_allow_regular_file);
  EXPECT_EQ(decoded->type_name(), "open_read");

  auto probe = decode_client_message(
      R"({"type":"probeCapacity","protocolVersion":1,"operationId":"p"})");
  ASSERT_TRUE(probe.has_value());
  EXPECT_EQ(std::get<ProbeCapacityCommand>(probe->payload).operation_id, "p");
  EXPECT_FALSE(decode_client_message(
      R"({"type":"probeCapacity","protocolVersion":1,"operationId":"p","sizeBytes":1})"));
}

}  // namespace
}  // namespace ravik
