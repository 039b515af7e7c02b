#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "maintenance/hold_mode.h"

namespace ravik {
namespace {

const std::string kLease(64, 'a');

std::string request_line(std::string_view request_id_json = "\"r-1\"") {
  return R"({"protocol":"ravik-system-maintenance-v1","command":"release","leaseId":")" +
         kLease + R"(","requestId":)" + std::string(request_id_json) + "}";
}

TEST(DecodeReleaseRequestTest, WellFormedRequests_Decode) {
  const std::vector<std::string> lines = {
      request_line(),
      R"({"requestId":"r-1","leaseId":")" + kLease +
          R"(","command":"release","protocol":"ravik-system-maintenance-v1"})",
      "  " + request_line() + " \t",
  };
  for (const auto& line : lines) {
    const auto request = decode_release_request(line);
    ASSERT_TRUE(request) << line << ": " << request.error().description;
    EXPECT_EQ(request->protocol, "ravik-system-maintenance-v1");
    EXPECT_EQ(request->command, "release");
    EXPECT_EQ(request->lease_id, kLease);
    EXPECT_EQ(request->request_id, "r-1");
    EXPECT_TRUE(release_request_matches(*request, kLease));
  }
}

TEST(DecodeReleaseRequestTest, MalformedRequests_AreInvalid) {
  const std::string base = request_line();
  const std::string open = base.substr(0, base.size() - 1);
  const std::vector<std::string> lines = {
      open + R"(,"force":true})",       // unknown member
      open + R"(,"requestId":"r-2"})",  // repeated member
      open + R"(,"requestId":"r-1"})",  // repeated with the same value
      R"({"protocol":"ravik-system-maintenance-v1","command":"release","leaseId":")" +
          kLease + "\"}",  // missing member
      request_line("7"),   // not a string
      request_line("null"),
      request_line("1.5"),
      base + "x",                    // trailing text
      base + base,                   // two objects
      "[" + base + "]",              // not an object
      "\xEF\xBB\xBF" + base,         // byte order mark
      request_line("\"\xC3\x28\""),  // not UTF-8
      request_line("\"\\ud800\""),   // lone surrogate
      "{",
      "release",
  };
  for (const auto& line : lines) {
    EXPECT_FALSE(decode_release_request(line)) << line;
  }
}

TEST(ReleaseRequestMatchesTest, EveryConditionIsChecked) {
  const ReleaseRequest good{"ravik-system-maintenance-v1", "release", kLease, "r"};
  ASSERT_TRUE(release_request_matches(good, kLease));

  auto changed = [&](auto edit) {
    ReleaseRequest request = good;
    edit(request);
    return release_request_matches(request, kLease);
  };
  EXPECT_FALSE(
      changed([](ReleaseRequest& r) { r.protocol = "ravik-system-maintenance-v2"; }));
  EXPECT_FALSE(changed([](ReleaseRequest& r) { r.command = "Release"; }));
  EXPECT_FALSE(changed([](ReleaseRequest& r) { r.lease_id = std::string(64, 'b'); }));
  EXPECT_FALSE(changed([](ReleaseRequest& r) { r.lease_id = std::string(64, 'A'); }));
  EXPECT_FALSE(changed([](ReleaseRequest& r) { r.lease_id += "a"; }));
  EXPECT_FALSE(changed([](ReleaseRequest& r) { r.request_id.clear(); }));
  EXPECT_FALSE(changed([](ReleaseRequest& r) { r.request_id = std::string(257, 'r'); }));
  EXPECT_TRUE(changed([](ReleaseRequest& r) { r.request_id = std::string(256, 'r'); }));
  // Bytes, not characters: 128 two-byte characters are 256 bytes.
  std::string two_byte;
  for (int i = 0; i < 128; ++i) two_byte += "\xC3\xA9";
  EXPECT_TRUE(changed([&](ReleaseRequest& r) { r.request_id = two_byte; }));
  EXPECT_FALSE(changed([&](ReleaseRequest& r) { r.request_id = two_byte + "x"; }));
}

TEST(ReleaseRequestMatchesTest, EscapedNul_DecodesButDoesNotMatch) {
  const auto request = decode_release_request(request_line(R"("a\u0000b")"));
  ASSERT_TRUE(request);
  EXPECT_EQ(request->request_id, std::string("a\0b", 3));
  EXPECT_FALSE(release_request_matches(*request, kLease));
}

}  // namespace
}  // namespace ravik
