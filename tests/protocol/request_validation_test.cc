#include "protocol/request_validation.h"

#include <gtest/gtest.h>

#include <string>

namespace ravik {
namespace {

const std::string kDigestHex(64, 'a');

// "" when `result` succeeded, else "{code}: {message}".
std::string outcome(const Result<void>& result) {
  if (result) return "";
  return std::string(result.error().code().text()) + ": " + result.error().message();
}

TargetExpectation target() {
  return TargetExpectation{.platform = PlatformName::kMacos,
                           .device_id = "disk4",
                           .device_path = "/dev/rdisk4",
                           .size_bytes = 1 << 20,
                           .serial = std::nullopt,
                           .topology_path = std::nullopt,
                           .model = std::nullopt};
}

OpenWriteRequest write_request() {
  OpenWriteRequest request;
  request.request_id = "r";
  request.session_id = "s";
  request.task_id = "t";
  request.target = target();
  request.source = SourceExpectation{.bytes_total = 1 << 20, .sha256 = kDigestHex};
  return request;
}

TEST(ValidateOpenTarget, IdentifiersThenTarget_FirstFailureWins) {
  const std::string with_nul("a\0b", 3);
  EXPECT_EQ(outcome(validate_open_target(std::string(256, 'x'), "s", "t", target())), "");
  EXPECT_EQ(outcome(validate_open_target(std::string(257, 'x'), "s", "t", target())),
            "PROTOCOL_ERROR: requestId must contain 1-256 non-NUL bytes.");
  EXPECT_EQ(outcome(validate_open_target("", "", "", target())),
            "PROTOCOL_ERROR: requestId must contain 1-256 non-NUL bytes.");
  EXPECT_EQ(outcome(validate_open_target("r", with_nul, "", target())),
            "PROTOCOL_ERROR: sessionId must contain 1-256 non-NUL bytes.");
  EXPECT_EQ(outcome(validate_open_target("r", "s", "", target())),
            "PROTOCOL_ERROR: taskId must contain 1-256 non-NUL bytes.");
  auto bad = target();
  bad.device_id = "";
  EXPECT_EQ(outcome(validate_open_target("r", "s", "t", bad)),
            "PROTOCOL_ERROR: target.deviceId must contain 1-256 non-NUL bytes.");
}

TEST(TargetExpectationValidate, EachRuleInOrder) {
  struct Case {
    void (*change)(TargetExpectation&);
    const char* expected;
  };
  const Case cases[] = {
      {[](TargetExpectation& t) { t.device_id = std::string(257, 'd'); },
       "PROTOCOL_ERROR: target.deviceId must contain 1-256 non-NUL bytes."},
      {[](TargetExpectation& t) { t.device_path = "dev/rdisk4"; },
       "PROTOCOL_ERROR: target.devicePath must be an absolute non-NUL path of at most "
       "4096 "
       "bytes."},
      {[](TargetExpectation& t) { t.device_path = ""; },
       "PROTOCOL_ERROR: target.devicePath must be an absolute non-NUL path of at most "
       "4096 "
       "bytes."},
      {[](TargetExpectation& t) { t.device_path = "/" + std::string(4096, 'p'); },
       "PROTOCOL_ERROR: target.devicePath must be an absolute non-NUL path of at most "
       "4096 "
       "bytes."},
      {[](TargetExpectation& t) { t.device_path = std::string("/dev\0x", 6); },
       "PROTOCOL_ERROR: target.devicePath must be an absolute non-NUL path of at most "
       "4096 "
       "bytes."},
      {[](TargetExpectation& t) { t.device_path = "/" + std::string(4095, 'p'); }, ""},
      {[](TargetExpectation& t) { t.serial = ""; },
       "PROTOCOL_ERROR: target.serial must contain 1-1024 non-NUL bytes when present."},
      {[](TargetExpectation& t) { t.serial = std::string(1024, 's'); }, ""},
      {[](TargetExpectation& t) { t.topology_path = std::string(4097, 'p'); },
       "PROTOCOL_ERROR: target.topologyPath must contain 1-4096 non-NUL bytes when "
       "present."},
      {[](TargetExpectation& t) { t.model = std::string(1025, 'm'); },
       "PROTOCOL_ERROR: target.model must contain 1-1024 non-NUL bytes when present."},
      {[](TargetExpectation& t) { t.size_bytes = 0; },
       "PROTOCOL_ERROR: target.sizeBytes must be a positive safe integer."},
      {[](TargetExpectation& t) { t.size_bytes = kMaxSafeInteger + 1; },
       "PROTOCOL_ERROR: target.sizeBytes must be a positive safe integer."},
      {[](TargetExpectation& t) { t.size_bytes = kMaxSafeInteger; }, ""},
      // Order: the model is checked before the size.
      {[](TargetExpectation& t) {
         t.model = "";
         t.size_bytes = 0;
       },
       "PROTOCOL_ERROR: target.model must contain 1-1024 non-NUL bytes when present."},
  };
  for (const auto& c : cases) {
    auto t = target();
    c.change(t);
    EXPECT_EQ(outcome(t.validate()), c.expected);
  }
}

TEST(OpenWriteRequestValidate, SourceRulesInOrder) {
  struct Case {
    void (*change)(OpenWriteRequest&);
    const char* expected;
  };
  const Case cases[] = {
      {[](OpenWriteRequest&) {}, ""},
      {[](OpenWriteRequest& r) { r.task_id = ""; },
       "PROTOCOL_ERROR: taskId must contain 1-256 non-NUL bytes."},
      {[](OpenWriteRequest& r) { r.source.bytes_total = 0; },
       "PROTOCOL_ERROR: source.bytesTotal must be a positive safe integer."},
      {[](OpenWriteRequest& r) {
         r.target.size_bytes = kMaxSafeInteger;
         r.source.bytes_total = kMaxSafeInteger + 1;
       },
       "PROTOCOL_ERROR: source.bytesTotal must be a positive safe integer."},
      {[](OpenWriteRequest& r) { r.source.bytes_total = r.target.size_bytes; }, ""},
      {[](OpenWriteRequest& r) { r.source.bytes_total = r.target.size_bytes + 1; },
       "DEVICE_TOO_SMALL: The source image is larger than the selected target."},
      // Too large comes before the digest check.
      {[](OpenWriteRequest& r) {
         r.source.bytes_total = r.target.size_bytes + 1;
         r.source.sha256 = "";
       },
       "DEVICE_TOO_SMALL: The source image is larger than the selected target."},
      {[](OpenWriteRequest& r) { r.source.sha256 = std::string(64, 'A'); },
       "PROTOCOL_ERROR: source.sha256 must be exactly 64 lowercase hexadecimal "
       "characters."},
      {[](OpenWriteRequest& r) { r.source.sha256 = std::string(63, 'a'); },
       "PROTOCOL_ERROR: source.sha256 must be exactly 64 lowercase hexadecimal "
       "characters."},
      {[](OpenWriteRequest& r) { r.source.sha256 = std::string(63, 'a') + "g"; },
       "PROTOCOL_ERROR: source.sha256 must be exactly 64 lowercase hexadecimal "
       "characters."},
      {[](OpenWriteRequest& r) {
         r.target.size_bytes = r.source.bytes_total = 1u << 25;
         r.protected_prefix_bytes = kMaxProtectedPrefixBytes;
       },
       ""},
      {[](OpenWriteRequest& r) {
         r.target.size_bytes = r.source.bytes_total = 1u << 25;
         r.protected_prefix_bytes = kMaxProtectedPrefixBytes + 1;
       },
       "PROTOCOL_ERROR: protectedPrefixBytes exceeds the source or protocol limit."},
      {[](OpenWriteRequest& r) {
         r.source.bytes_total = 4096;
         r.protected_prefix_bytes = 4097;
       },
       "PROTOCOL_ERROR: protectedPrefixBytes exceeds the source or protocol limit."},
  };
  for (const auto& c : cases) {
    auto request = write_request();
    c.change(request);
    EXPECT_EQ(outcome(request.validate()), c.expected);
  }
  OpenFormatRequest format{
      .request_id = "r", .session_id = "s", .task_id = "", .target = target()};
  EXPECT_EQ(outcome(format.validate()),
            "PROTOCOL_ERROR: taskId must contain 1-256 non-NUL bytes.");
  format.task_id = "t";
  EXPECT_EQ(outcome(format.validate()), "");
}

TEST(ValidateOperationId, LengthAndNul) {
  EXPECT_EQ(outcome(validate_operation_id(std::string(256, 'o'))), "");
  for (const std::string& bad :
       {std::string(), std::string(257, 'o'), std::string("\0", 1)}) {
    EXPECT_EQ(outcome(validate_operation_id(bad)),
              "PROTOCOL_ERROR: operationId must contain 1-256 non-NUL bytes.");
  }
}

TEST(ValidateVolumeLabel, PrintableUppercaseWithoutForbiddenCharacters) {
  for (const char* good :
       {"BOOT", "MY DISK", "A", "ABCDEFGHIJK", "NO_NAME", "X~!@#$%^&()"}) {
    EXPECT_EQ(outcome(validate_volume_label(good)), "") << good;
  }
  for (const char* bad :
       {"",         "boot", " BOOT", "BOOT ", "A.B", "ABCDEFGHIJKL", "A\tB", "A\x7F",
        "\xC3\x84", "A\"",  "A*",    "A+",    "A,",  "A/",           "A:",   "A;",
        "A<",       "A=",   "A>",    "A?",    "A[",  "A\\",          "A]",   "A|"}) {
    EXPECT_EQ(
        outcome(validate_volume_label(bad)),
        "PROTOCOL_ERROR: FAT32 volumeLabel must contain 1-11 uppercase printable ASCII "
        "characters without leading, trailing, or FAT-forbidden characters.")
        << bad;
  }
}

TEST(ValidateBootFileName, FlatAsciiNames) {
  for (const std::string& good :
       {std::string("config.txt"), std::string("a-b_c.d"), std::string("9"),
        std::string("a..b"), std::string(255, 'n')}) {
    EXPECT_EQ(outcome(validate_boot_file_name(good)), "") << good;
  }
  for (const std::string& bad :
       {std::string(), std::string("."), std::string(".."), std::string(".hidden"),
        std::string("_x"), std::string("-x"), std::string("dir/file"), std::string("a b"),
        std::string("a\\b"), std::string("caf\xC3\xA9"), std::string(256, 'n'),
        std::string("a\0", 2)}) {
    EXPECT_EQ(outcome(validate_boot_file_name(bad)),
              "PROTOCOL_ERROR: Boot file names must be flat ASCII names without path "
              "separators.")
        << bad;
  }
}

}  // namespace
}  // namespace ravik
