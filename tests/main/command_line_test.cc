#include "main/command_line.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace ravik {
namespace {

// Only malformed command lines are dispatched here, so no mode ever runs.
BuildProfile profile() {
  BuildProfile profile;
  profile.maintenance_base_directory = "/nonexistent";
  profile.maintenance_directory_name = "ravik";
  return profile;
}

Result<void> dispatch(std::vector<std::string_view> args) {
  return dispatch_command_line(args, profile());
}

TEST(CommandLineTest, UsageTextIsOneLineOf440Bytes) {
  EXPECT_EQ(kUsageText.size(), 440u);
  EXPECT_EQ(kUsageText.find('\n'), std::string_view::npos);
}

TEST(CommandLineTest, MalformedCommandLinesAreTheUsageError) {
  const std::vector<std::vector<std::string_view>> malformed = {
      {"--version", "extra"},
      {"--protocol-version", "--version"},
      {""},
      {"--maintenance-hold"},
      {"--maintenance-hold", "shared", "--timeout-ms"},
      {"--maintenance-hold", "shared", "--timeout", "5"},
      {"--maintenance-provision", "extra"},
      {"--cross-process-lock-hold", "/tmp/x", "--path"},
      {"--cross-process-lock-hold", "--path"},
      {"--path", "/tmp/x", "--cross-process-lock-hold"},
      {"--maintenance-installer-end", "--lease-state", "x", "--protocol", "1"},
      {"--maintenance-installer-begin", "--protocol", "1", "--lease-state", "x",
       "--timeout-ms", "5", "--owner-pid", "1"},
      {"--version=1"},
      {"--VERSION"},
  };
  for (const auto& args : malformed) {
    const Result<void> result = dispatch(args);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code(), codes::kProtocolError);
    EXPECT_EQ(result.error().message(), kUsageText);
  }
}

// What write_failure_line puts on a descriptor.
std::string failure_line(const HelperError& error) {
  const int fd = ::memfd_create("failure-line", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  write_failure_line(fd, error);
  std::string text(4096, '\0');
  const ssize_t got = ::pread(fd, text.data(), text.size(), 0);
  ::close(fd);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

TEST(WriteFailureLineTest, LineBreaksInTheMessage_StayOnOneLine) {
  EXPECT_EQ(failure_line(HelperError(codes::kLockUnavailable, "first\r\nsecond\nthird")),
            "LOCK_UNAVAILABLE: first  second third\n");
}

TEST(WriteFailureLineTest, CodeIsTheErrorsOwnNotTheEventCode) {
  EXPECT_EQ(failure_line(HelperError(codes::kProtocolError, "Bad.")),
            "PROTOCOL_ERROR: Bad.\n");
}

TEST(WriteFailureLineTest, BlankMessage_IsReplaced) {
  EXPECT_EQ(failure_line(HelperError(codes::kUnknown, "\n")),
            "UNKNOWN: The helper operation failed.\n");
}

}  // namespace
}  // namespace ravik
