// ravik-device-client end to end: the real client starting the real testing
// helper beside it, writing images to regular files in a private directory.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "client/wire.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

using harness::ExitStatus;

std::string pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>((i * 2654435761u + seed) >> 11);
  }
  return bytes;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct ClientRun {
  harness::TempDir dir;
  std::string image;
  std::string image_path;
  std::string target_path;

  ClientRun(std::size_t image_size, std::size_t target_size)
      : image(pattern(image_size, 7)),
        image_path(dir.write_file("image.img", image)),
        target_path(dir.write_file("target.img", std::string(target_size, '\0'))) {}

  Result<harness::Completed> run(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"write", image_path, target_path};
    args.insert(args.end(), extra.begin(), extra.end());
    return harness::run_child(harness::bin_path("ravik-device-client"), args);
  }
};

TEST(ClientEndToEndTest, Write_WritesVerifiesReleasesAndSummarises) {
  ClientRun run(9 * 1024 * 1024 + 3, 16 * 1024 * 1024);
  auto done = run.run();
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->status, ExitStatus::exited_with(0)) << done->stderr_text;
  const std::string target = read_file(run.target_path);
  EXPECT_EQ(target.substr(0, run.image.size()), run.image);
  EXPECT_EQ(target.find_first_not_of('\0', run.image.size()), std::string::npos);
  const auto lines = lines_of(done->stdout_text);
  ASSERT_EQ(lines.size(), 5u) << done->stdout_text;
  EXPECT_TRUE(lines[0].starts_with("Image:    " + run.image_path + " (9.0 MiB, sha256 "));
  EXPECT_EQ(lines[1], "Target:   " + run.target_path + " (regular file, 16.0 MiB)");
  EXPECT_TRUE(lines[2].starts_with("Written:  9.0 MiB in ")) << lines[2];
  EXPECT_TRUE(lines[3].starts_with("Verified: target sha256 ")) << lines[3];
  EXPECT_TRUE(lines[3].ends_with(" matches")) << lines[3];
  EXPECT_EQ(lines[4], "Released: safe to remove");
  // Not a terminal: plain progress lines, no carriage returns.
  EXPECT_NE(done->stderr_text.find("WRITE 100%"), std::string::npos) << done->stderr_text;
  EXPECT_NE(done->stderr_text.find("VERIFY 100%"), std::string::npos);
  EXPECT_EQ(done->stderr_text.find('\r'), std::string::npos);
}

TEST(ClientEndToEndTest, Json_PrintsTheHelpersEventsInOrder) {
  ClientRun run(5 * 1024 * 1024, 5 * 1024 * 1024);
  auto done = run.run({"--json", "--end", "close", "--tail", "zero-pad-sector"});
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->status, ExitStatus::exited_with(0)) << done->stderr_text;
  std::vector<std::string> kinds;
  for (const std::string& line : lines_of(done->stdout_text)) {
    auto event = client::parse_event_line(line);
    ASSERT_TRUE(event) << line;
    if (kinds.empty() || kinds.back() != event->kind()) kinds.push_back(event->kind());
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"ready", "progress", "written", "progress",
                                             "verifyResult", "closed"}));
}

TEST(ClientEndToEndTest, CancelAfter_AbortsTheStreamAndFails) {
  ClientRun run(12 * 1024 * 1024, 12 * 1024 * 1024);
  auto done = run.run({"--cancel-after", "4096", "--no-verify"});
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
  EXPECT_NE(
      done->stderr_text.find(
          "ravik-device-client: failed: The write was canceled after 4096 bytes, as "
          "asked.\n"),
      std::string::npos)
      << done->stderr_text;
  const std::string target = read_file(run.target_path);
  EXPECT_EQ(target.substr(0, 4096), run.image.substr(0, 4096));
  EXPECT_EQ(target.find_first_not_of('\0', 4096), std::string::npos);
}

TEST(ClientEndToEndTest, RefusedRequest_ReportsTheHelpersCodeAndMessage) {
  ClientRun run(2 * 1024 * 1024, 1024 * 1024);
  auto done = run.run();
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
  EXPECT_NE(done->stderr_text.find(
                "DEVICE_TOO_SMALL: The source image is larger than the selected target."),
            std::string::npos)
      << done->stderr_text;
  EXPECT_NE(done->stderr_text.find("ravik-device-client: failed: "), std::string::npos);
}

TEST(ClientEndToEndTest, BootFileOrBadArguments_FailBeforeTouchingTheTarget) {
  ClientRun run(1024 * 1024, 1024 * 1024);
  const std::string big =
      run.dir.write_file("big.bin", std::string(1024 * 1024 + 1, 'x'));
  auto boot = run.run({"--boot-file", "config.txt=" + big});
  ASSERT_TRUE(boot) << boot.error();
  EXPECT_EQ(boot->status, ExitStatus::exited_with(1));
  EXPECT_EQ(boot->stderr_text,
            "ravik-device-client: " + big +
                " is larger than the 1 MiB a boot file may hold. Nothing "
                "was written.\n");
  auto usage = run.run({"--end", "unplug"});
  ASSERT_TRUE(usage) << usage.error();
  EXPECT_EQ(usage->status, ExitStatus::exited_with(2));
  EXPECT_TRUE(usage->stderr_text.starts_with(
      "ravik-device-client: --end must be release, eject or close\nUsage: "));
  EXPECT_EQ(read_file(run.target_path), std::string(1024 * 1024, '\0'));
}

// recover lays out a FAT32 disk; written as an image elsewhere, its boot
// partition takes a file and gives it back on standard output.
TEST(ClientEndToEndTest, RecoverThenWriteWithBootFile_PrintsTheFileBack) {
  harness::TempDir dir;
  const std::string disk =
      dir.write_file("disk.img", std::string(40 * 1024 * 1024, '\0'));
  auto recovered =
      harness::run_child(harness::bin_path("ravik-device-client"),
                         {"recover", disk, "--label", "RAVIK", "--end", "close"});
  ASSERT_TRUE(recovered) << recovered.error();
  EXPECT_EQ(recovered->status, ExitStatus::exited_with(0)) << recovered->stderr_text;
  EXPECT_NE(recovered->stdout_text.find("Recovered: one FAT32 partition labelled RAVIK"),
            std::string::npos);

  const std::string target =
      dir.write_file("target.img", std::string(40 * 1024 * 1024, '\0'));
  const std::string local = dir.write_file("hello.txt", "hello, boot partition\n");
  auto written =
      harness::run_child(harness::bin_path("ravik-device-client"),
                         {"write", disk, target, "--boot-file", "hello.txt=" + local,
                          "--read-boot-file", "HELLO.TXT", "--end", "close"});
  ASSERT_TRUE(written) << written.error();
  EXPECT_EQ(written->status, ExitStatus::exited_with(0)) << written->stderr_text;
  EXPECT_EQ(written->stdout_text, "hello, boot partition\n");
  EXPECT_NE(written->stderr_text.find("Boot file: hello.txt (22 B) written"),
            std::string::npos)
      << written->stderr_text;
}

}  // namespace
}  // namespace ravik
