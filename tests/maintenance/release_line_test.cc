#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "io/fd_stream.h"
#include "maintenance/maintenance_protocol.h"

namespace ravik {
namespace {

// Serves `bytes` one read at a time and counts what was consumed, so a test
// can see that nothing after the line feed is read.
class ScriptedSource final : public ByteSource {
 public:
  explicit ScriptedSource(std::string bytes, int fail_with = 0)
      : bytes_(std::move(bytes)), fail_with_(fail_with) {}

  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
    ++reads_;
    EXPECT_EQ(buffer.size(), 1u) << "the reader must ask for one byte at a time";
    if (position_ == bytes_.size()) {
      if (fail_with_ != 0) return std::unexpected(IoError::from_errno(fail_with_));
      return 0;
    }
    buffer[0] = static_cast<std::uint8_t>(bytes_[position_++]);
    return 1;
  }

  std::size_t consumed() const { return position_; }

 private:
  std::string bytes_;
  int fail_with_;
  std::size_t position_ = 0;
  int reads_ = 0;
};

void expect_protocol_error(const Result<std::string>& result, std::string_view message) {
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceProtocol);
  EXPECT_EQ(result.error().message(), message);
}

constexpr std::string_view kTooLong = "Maintenance release request exceeds 16 KiB.";

TEST(ReadReleaseLineTest, Line_StopsAtTheLineFeed) {
  ScriptedSource source("{\"a\":1}\nnext");
  const auto line = read_release_line(source);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "{\"a\":1}");
  EXPECT_EQ(source.consumed(), 8u);
  const auto rest = read_release_line(source);
  ASSERT_TRUE(rest);
  EXPECT_EQ(*rest, "next");  // a final line without a line feed counts
}

TEST(ReadReleaseLineTest, CarriageReturn_IsRefusedWherever) {
  for (const std::string input : {"request\r\n", "\r", "re\rquest\n"}) {
    ScriptedSource source(input);
    expect_protocol_error(read_release_line(source),
                          "Maintenance release request contains an invalid line break.");
  }
}

TEST(ReadReleaseLineTest, Length_BoundedAt16KiB) {
  ScriptedSource exact(std::string(16384, 'x') + "\n");
  const auto line = read_release_line(exact);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->size(), 16384u);

  ScriptedSource exact_at_end(std::string(16384, 'x'));
  ASSERT_TRUE(read_release_line(exact_at_end));

  ScriptedSource over(std::string(16385, 'x') + "\n" + std::string(100000, 'y'));
  expect_protocol_error(read_release_line(over), kTooLong);
  EXPECT_EQ(over.consumed(), 16385u);  // refused at the 16385th byte
}

TEST(ReadReleaseLineTest, ReadFailure_IsReportedWithTheSystemText) {
  ScriptedSource source("partial", EIO);
  const auto result = read_release_line(source);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().code(), codes::kMaintenanceProtocol);
  EXPECT_TRUE(result.error().message().starts_with("Could not read release request: "))
      << result.error().message();
  EXPECT_TRUE(result.error().message().ends_with("(os error 5)"))
      << result.error().message();
}

TEST(DescriptorByteSourceTest, Pipe_LeavesEverythingAfterTheLineUnread) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const std::string input = "first\nsecond\n";
  ASSERT_EQ(::write(fds[1], input.data(), input.size()),
            static_cast<ssize_t>(input.size()));
  ::close(fds[1]);
  DescriptorByteSource source(fds[0]);
  const auto line = read_release_line(source);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "first");
  char rest[16] = {};
  EXPECT_EQ(::read(fds[0], rest, sizeof(rest)), 7);
  EXPECT_EQ(std::string(rest, 7), "second\n");
  ::close(fds[0]);
}

}  // namespace
}  // namespace ravik
