#include "cli/progress_display.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "job/plain_text.h"

namespace ravik::cli {
using namespace ravik::job;
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

TEST(ProgressFormatTest, Bytes_UseBinaryUnits) {
  EXPECT_EQ(format_bytes(0), "0 B");
  EXPECT_EQ(format_bytes(1023), "1023 B");
  EXPECT_EQ(format_bytes(1024), "1.0 KiB");
  EXPECT_EQ(format_bytes(64 * kMiB), "64.0 MiB");
  EXPECT_EQ(format_bytes(3 * kMiB / 2 * 1024), "1.5 GiB");
}

TEST(ProgressFormatTest, TimeLeft_RoundsUpAndNeedsARate) {
  EXPECT_EQ(format_time_left(100, 0), "?");
  EXPECT_EQ(format_time_left(0, 10), "0:00");
  EXPECT_EQ(format_time_left(101, 10), "0:11");
  EXPECT_EQ(format_time_left(3723, 1), "1:02:03");
}

TEST(ProgressFormatTest, LineAndBar_ShowShareRateAndTimeLeft) {
  const ProgressSample sample{.stage = "WRITE",
                              .done = 16 * kMiB,
                              .total = 64 * kMiB,
                              .bytes_per_second = 8 * kMiB};
  EXPECT_EQ(format_progress_line(sample),
            "WRITE  25%  16.0 MiB of 64.0 MiB  8.0 MiB/s  0:06 left");
  EXPECT_EQ(format_progress_bar(sample, 8),
            "[##......] WRITE  25%  16.0 MiB of 64.0 MiB  8.0 MiB/s  0:06 left");
}

// Reads what a display wrote into a pipe.
std::string drain(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t count;
  while ((count = ::read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, count);
  return text;
}

TEST(ProgressDisplayTest, PlainMode_WritesOneLinePerTenthAndStage) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    ProgressDisplay display(fds[1], /*terminal=*/false);
    for (std::uint64_t done = 4; done <= 100; done += 4) {
      display.update(
          {.stage = "WRITE", .done = done, .total = 100, .bytes_per_second = 1});
    }
    display.update({.stage = "VERIFY", .done = 100, .total = 100, .bytes_per_second = 1});
    display.finish();
  }
  ::close(fds[1]);
  const std::string text = drain(fds[0]);
  ::close(fds[0]);
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';
  // WRITE: tenths 0..10 reached at 4, 12, 20, ..., 100: eleven lines; VERIFY: one.
  EXPECT_EQ(lines, 12u);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_NE(text.find("VERIFY 100%"), std::string::npos);
}

TEST(ProgressDisplayTest, TerminalMode_RedrawsInPlaceAndEndsTheLine) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    ProgressDisplay display(fds[1], /*terminal=*/true);
    display.update({.stage = "WRITE", .done = 1, .total = 2, .bytes_per_second = 1});
    display.update({.stage = "WRITE", .done = 2, .total = 2, .bytes_per_second = 1});
    display.finish();
  }
  ::close(fds[1]);
  const std::string text = drain(fds[0]);
  ::close(fds[0]);
  EXPECT_EQ(text.rfind("\r[", 0), 0u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 2);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  EXPECT_EQ(text.back(), '\n');
}

// Never as wide as the terminal, which would wrap it and leave the wrapped
// part behind at every redraw.
TEST(ProgressDisplayTest, FittedBar_StaysNarrowerThanTheTerminal) {
  const ProgressSample sample = {.stage = "WRITE",
                                 .done = 700ull << 20,
                                 .total = 1ull << 30,
                                 .bytes_per_second = 30ull << 20,
                                 .detail = "xz 200.0 MiB of 300.0 MiB read"};
  for (const int columns : {20, 80, 200}) {
    const std::string bar = fitted_bar(sample, columns);
    EXPECT_LT(bar.size(), static_cast<std::size_t>(columns)) << bar;
    EXPECT_EQ(bar.starts_with("[##"), columns == 200) << bar;
  }
  EXPECT_TRUE(
      fitted_bar(sample, 200).starts_with("[####################..........] WRITE  68%"));
}

}  // namespace
}  // namespace ravik::cli
