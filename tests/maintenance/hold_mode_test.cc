#include "maintenance/hold_mode.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "io/fd_stream.h"
#include "maintenance/lock_test_support.h"
#include "maintenance/maintenance_protocol.h"

namespace ravik {
namespace {

using testing::LockSandbox;

// A pipe whose read end collects what the code under test writes.
class OutputPipe {
 public:
  OutputPipe() { EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0); }
  ~OutputPipe() {
    if (fds_[0] >= 0) ::close(fds_[0]);
    if (fds_[1] >= 0) ::close(fds_[1]);
  }
  int write_end() const { return fds_[1]; }
  void close_read_end() { ::close(std::exchange(fds_[0], -1)); }

  std::vector<std::string> lines() {
    ::close(std::exchange(fds_[1], -1));
    std::string text;
    char buffer[4096];
    ssize_t count;
    while ((count = ::read(fds_[0], buffer, sizeof(buffer))) > 0)
      text.append(buffer, count);
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      result.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "output must end with a line feed";
    return result;
  }

 private:
  int fds_[2] = {-1, -1};
};

// Standard input as a pipe filled in advance and then closed.
class InputPipe {
 public:
  explicit InputPipe(std::string_view bytes) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    EXPECT_EQ(::write(fds[1], bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
    ::close(fds[1]);
    fd_ = fds[0];
    source_ = DescriptorByteSource(fd_);
  }
  ~InputPipe() { ::close(fd_); }
  ByteSource& source() { return source_; }

 private:
  int fd_ = -1;
  DescriptorByteSource source_{fd_};
};

std::string release_request(std::string_view lease_id, std::string_view request_id) {
  return R"({"protocol":"ravik-system-maintenance-v1","command":"release","leaseId":")" +
         std::string(lease_id) + R"(","requestId":")" + std::string(request_id) + "\"}\n";
}

std::string error_line(std::string_view code, std::string_view message) {
  return R"({"protocol":"ravik-system-maintenance-v1","status":"error","code":")" +
         std::string(code) + R"(","message":")" + std::string(message) + "\"}";
}

class HoldModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    sandbox_.provision();
  }
  Result<MaintenanceLock> take(MaintenanceMode mode) {
    return MaintenanceLock::acquire_default(sandbox_.location(), mode,
                                            MaintenanceTimeout::zero(), false);
  }
  LockSandbox sandbox_;
};

TEST_F(HoldModeTest, ServeStdioHold_ClosedOutput_FailsAsAWriteFailure) {
  auto lock = take(MaintenanceMode::kExclusive);
  ASSERT_TRUE(lock);
  InputPipe input(release_request(lock->lease_id(), "r"));
  OutputPipe output;
  output.close_read_end();
  const auto result =
      serve_stdio_hold(std::move(*lock), input.source(), output.write_end());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceUnavailable);
  EXPECT_TRUE(
      result.error().message().starts_with("Could not write maintenance status: "))
      << result.error().message();
  EXPECT_TRUE(take(MaintenanceMode::kExclusive));
}

TEST(HoldLinesTest, WriteMaintenanceError_PassesTheMessageThroughSafeMessage) {
  OutputPipe output;
  ASSERT_TRUE(write_maintenance_error(
      output.write_end(),
      HelperError(codes::kMaintenanceBusy, "two\r\nlines \"quoted\"")));
  ASSERT_TRUE(write_maintenance_error(output.write_end(),
                                      HelperError(codes::kMaintenanceUnavailable, "\n")));
  const auto lines = output.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], error_line("MAINTENANCE_BUSY", R"(two  lines \"quoted\")"));
  EXPECT_EQ(lines[1],
            error_line("MAINTENANCE_UNAVAILABLE", "The helper operation failed."));
}

}  // namespace
}  // namespace ravik
