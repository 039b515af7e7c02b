// ravik-device-client end to end: the real client starting the real testing
// helper beside it, writing images to regular files in a private directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <tuple>

#include "job/wire.h"
#include "support/child_process.h"
#include "support/pattern_bytes.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

using harness::ExitStatus;

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
      : image(testing::pattern_text(image_size, 7)),
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
  // Wall-clock figures of each stage; the helper's device-write time only
  // under its own label.
  EXPECT_TRUE(lines[2].starts_with("Written:  9.0 MiB in ")) << lines[2];
  EXPECT_NE(lines[2].find("/s), including the final sync; time inside device writes "),
            std::string::npos)
      << lines[2];
  // The helper read the image back before it wrote the held-back partition
  // table; that readback is the verification, and no second pass reads the
  // disk again. Its final flush and readback show as stages of their own.
  EXPECT_EQ(lines[3],
            "Verified: 9.0 MiB read back by the helper before it wrote the partition "
            "table; no second pass (--verify-again asks for one)");
  EXPECT_TRUE(lines[4].starts_with("Released: safe to remove, after ")) << lines[4];
  // Not a terminal: plain progress lines, no carriage returns.
  EXPECT_NE(done->stderr_text.find("WRITE 100%"), std::string::npos) << done->stderr_text;
  EXPECT_NE(done->stderr_text.find("FLUSH  9.0 MiB written, waiting for the disk"),
            std::string::npos)
      << done->stderr_text;
  EXPECT_NE(done->stderr_text.find("VERIFY 100%"), std::string::npos);
  EXPECT_EQ(done->stderr_text.find('\r'), std::string::npos);
}

TEST(ClientEndToEndTest, Json_PrintsTheHelpersEventsInOrderThenTheJobs) {
  ClientRun run(5 * 1024 * 1024, 5 * 1024 * 1024);
  // The helper's readback proves the image; --verify-again reads it once more.
  for (const bool again : {false, true}) {
    std::vector<std::string> extra = {"--json", "--end", "close", "--tail",
                                      "zero-pad-sector"};
    if (again) extra.push_back("--verify-again");
    auto done = run.run(extra);
    ASSERT_TRUE(done) << done.error();
    EXPECT_EQ(done->status, ExitStatus::exited_with(0)) << done->stderr_text;
    std::vector<std::string> kinds;
    for (const std::string& line : lines_of(done->stdout_text)) {
      auto event = job::parse_event_line(line);
      ASSERT_TRUE(event) << line;
      if (kinds.empty() || kinds.back() != event->kind()) kinds.push_back(event->kind());
    }
    std::vector<std::string> expected = {"ready", "progress", "written"};
    if (again) expected.insert(expected.end(), {"progress", "verifyResult"});
    expected.insert(expected.end(), {"closed", "jobResult"});
    EXPECT_EQ(kinds, expected);
    EXPECT_NE(lines_of(done->stdout_text).back().find(R"("verified":true)"),
              std::string::npos)
        << done->stdout_text;
  }
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
  // The bytes sent were the first of the partition-table area, held back.
  EXPECT_EQ(read_file(run.target_path), std::string(12 * 1024 * 1024, '\0'));
}

TEST(ClientEndToEndTest, ImageLargerThanTarget_IsRefusedBeforeTheHelperStarts) {
  ClientRun run(2 * 1024 * 1024, 1024 * 1024);
  auto done = run.run({"--helper", harness::testing_helper_path()});
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
  EXPECT_EQ(done->stderr_text,
            "ravik-device-client: the image (2.0 MiB) is larger than " + run.target_path +
                " (1.0 MiB). Nothing was written.\n");
}

// With several targets every one is checked before any helper starts.
TEST(ClientEndToEndTest, SeveralTargets_OneUnfit_RefusesThemAllBeforeAnythingStarts) {
  ClientRun run(2 * 1024 * 1024, 4 * 1024 * 1024);
  const std::string small =
      run.dir.write_file("small.img", std::string(1024 * 1024, '\0'));
  auto too_small = run.run({small, "--helper", harness::testing_helper_path()});
  ASSERT_TRUE(too_small) << too_small.error();
  EXPECT_EQ(too_small->status, ExitStatus::exited_with(1));
  EXPECT_EQ(too_small->stderr_text,
            "ravik-device-client: the image (2.0 MiB) is larger than " + small +
                " (1.0 MiB). Nothing was written.\n");
  auto twice = run.run({run.target_path, "--helper", harness::testing_helper_path()});
  ASSERT_TRUE(twice) << twice.error();
  EXPECT_EQ(twice->status, ExitStatus::exited_with(1));
  EXPECT_EQ(twice->stderr_text, "ravik-device-client: " + run.target_path +
                                    " is named twice. Nothing was written.\n");
}

// What the image's first bytes and the targets show is settled before any
// pass over the image: a text file is no disk image, boot files need a
// partition table, and every bad target is named at once. A piped image is
// verified too.
TEST(ClientEndToEndTest, ImageAndTargetProblems_AreNamedBeforeAnyPass) {
  ClientRun run(1024 * 1024, 4 * 1024 * 1024);
  const auto client = harness::bin_path("ravik-device-client");
  const std::string text =
      run.dir.write_file("SHA256SUMS", std::string(64, 'a') + "  image.img\n");
  auto as_image = harness::run_child(client, {"write", text, run.target_path});
  ASSERT_TRUE(as_image) << as_image.error();
  EXPECT_EQ(as_image->status, ExitStatus::exited_with(1));
  EXPECT_EQ(as_image->stderr_text, "ravik-device-client: " + text +
                                       " is not a disk image: it reads as text. Nothing "
                                       "was written.\n");
  auto boot = run.run({"--boot-file", "config.txt=" + text});
  ASSERT_TRUE(boot) << boot.error();
  EXPECT_EQ(boot->status, ExitStatus::exited_with(1));
  EXPECT_EQ(boot->stderr_text,
            "ravik-device-client: --boot-file needs a boot partition, "
            "and " +
                run.image_path + " holds no partition table. Nothing was written.\n");
  auto several = run.run({run.dir.file("gone-1"), run.dir.file("gone-2")});
  ASSERT_TRUE(several) << several.error();
  EXPECT_EQ(several->status, ExitStatus::exited_with(1));
  const std::vector<std::string> lines = lines_of(several->stderr_text);
  ASSERT_EQ(lines.size(), 4u) << several->stderr_text;
  EXPECT_EQ(lines[0], "ravik-device-client: 2 targets cannot be written:");
  EXPECT_TRUE(lines[1].starts_with("  Could not find the target: ")) << lines[1];
  EXPECT_TRUE(lines[2].starts_with("  Could not find the target: ")) << lines[2];
  EXPECT_EQ(lines[3], "Nothing was written.");
  EXPECT_EQ(read_file(run.target_path), std::string(4 * 1024 * 1024, '\0'));

  auto piped = harness::run_child(client, {"verify", "-", run.target_path},
                                  harness::ChildOptions::input(run.image));
  ASSERT_TRUE(piped) << piped.error();
  EXPECT_EQ(piped->status, ExitStatus::exited_with(1));
  EXPECT_NE(
      piped->stderr_text.find("VERIFY_MISMATCH: the target's first 1.0 MiB hash to"),
      std::string::npos)
      << piped->stderr_text;
}

// A published digest is taken as given: the right one writes in one pass, a
// wrong one is caught by the helper and the write reported as failed, the
// image named as not the one the digest describes.
TEST(ClientEndToEndTest, Sha256_IsCheckedByTheHelperAndVerifyReadsTheTarget) {
  ClientRun run(3 * 1024 * 1024 + 5, 4 * 1024 * 1024);
  auto hashed = run.run({"--no-verify", "--end", "close"});
  ASSERT_TRUE(hashed) << hashed.error();
  ASSERT_EQ(hashed->status, ExitStatus::exited_with(0)) << hashed->stderr_text;
  const std::size_t at = hashed->stdout_text.find("sha256 ") + 7;
  const std::string digest = hashed->stdout_text.substr(at, 64);

  auto wrong = run.run({"--sha256", std::string(64, '0'), "--protected-prefix", "4096"});
  ASSERT_TRUE(wrong) << wrong.error();
  EXPECT_EQ(wrong->status, ExitStatus::exited_with(1));
  // Nothing changed during the job: the image is not the one the digest is of.
  EXPECT_NE(wrong->stderr_text.find("ravik-device-client: failed: The image is not the "
                                    "one the given digest describes: it does not hash "
                                    "to --sha256 " +
                                    std::string(64, '0') + ".\n"),
            std::string::npos)
      << wrong->stderr_text;
  EXPECT_EQ(wrong->stdout_text.find("Written:"), std::string::npos);

  auto given = run.run({"--sha256", digest});
  ASSERT_TRUE(given) << given.error();
  EXPECT_EQ(given->status, ExitStatus::exited_with(0)) << given->stderr_text;
  EXPECT_EQ(read_file(run.target_path).substr(0, run.image.size()), run.image);

  const auto client = harness::bin_path("ravik-device-client");
  auto verified = harness::run_child(client, {"verify", run.image_path, run.target_path});
  ASSERT_TRUE(verified) << verified.error();
  EXPECT_EQ(verified->status, ExitStatus::exited_with(0)) << verified->stderr_text;
  EXPECT_EQ(verified->stdout_text,
            "Verified: target sha256 " + digest + " matches (3.0 MiB)\n");
  auto mismatch = harness::run_child(client, {"verify", run.image_path, run.target_path,
                                              "--sha256", std::string(64, 'f')});
  ASSERT_TRUE(mismatch) << mismatch.error();
  EXPECT_EQ(mismatch->status, ExitStatus::exited_with(1));
  EXPECT_NE(mismatch->stderr_text.find("VERIFY_MISMATCH"), std::string::npos);
}

// The helper's own "CODE: message" line is the failure the job shows: held
// back, while other text the helper writes passes. --quiet shows no progress.
TEST(ClientEndToEndTest, HelperFailure_ReachesTheTerminalOnce) {
  ClientRun run(4096, 4096);
  const std::string helper = run.dir.write_file(
      "helper.sh",
      "#!/bin/sh\n"
      "echo '{\"event\":\"error\",\"errorCode\":\"DEVICE_BUSY\",\"errorMessage\":"
      "\"The target is in use.\",\"sessionRetained\":false}'\n"
      "echo 'a note' >&2\n"
      "echo 'DEVICE_BUSY: The target is in use.' >&2\n"
      "exit 1\n");
  ASSERT_EQ(::chmod(helper.c_str(), 0755), 0);
  auto done = run.run({"--helper", helper, "--quiet"});
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
  EXPECT_EQ(done->stdout_text, "");
  EXPECT_EQ(done->stderr_text,
            "a note\nravik-device-client: failed: The helper refused the target: "
            "DEVICE_BUSY: The target is in use.\n");
}

// A helper that stops reading once it reported the write: the verify command
// cannot reach it, and an image never read back is no success.
TEST(ClientEndToEndTest, VerifyThatCannotBeSent_FailsTheWrite) {
  ClientRun run(4096, 4096);
  const std::size_t stream_bytes =
      job::data_frame_head(4096).size() + 4096 + job::end_frame().size();
  const std::string helper =
      run.dir.write_file("helper.sh",
                         "#!/bin/sh\n"
                         "length=$(head -c 4 | od -An -tu1 | "
                         "awk '{print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4}')\n"
                         "head -c \"$length\" >/dev/null\n"
                         "echo '{\"event\":\"ready\"}'\n"
                         "head -c " +
                             std::to_string(stream_bytes) +
                             " >/dev/null\n"
                             "exec 0<&-\n"
                             "echo '{\"event\":\"written\",\"bytesWritten\":4096}'\n");
  ASSERT_EQ(::chmod(helper.c_str(), 0755), 0);
  auto done = run.run({"--helper", helper, "--quiet"});
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
  EXPECT_NE(done->stderr_text.find(
                "ravik-device-client: failed: The helper ended before verification.\n"),
            std::string::npos)
      << done->stderr_text;
}

// --quiet: the result alone. --json: the job's record last, for a refusal
// before any helper ran too.
TEST(ClientEndToEndTest, QuietAndJson_GiveTheJobsResult) {
  ClientRun run(1024 * 1024, 1024 * 1024);
  auto quiet = run.run({"--quiet"});
  ASSERT_TRUE(quiet) << quiet.error();
  EXPECT_EQ(quiet->status, ExitStatus::exited_with(0)) << quiet->stderr_text;
  EXPECT_EQ(quiet->stderr_text, "");
  EXPECT_EQ(quiet->stdout_text,
            "Done:     " + run.target_path + " holds the image, verified\n");

  auto record_of = [](const harness::Completed& done) {
    const auto lines = lines_of(done.stdout_text);
    auto event = job::parse_event_line(lines.empty() ? "" : lines.back());
    EXPECT_TRUE(event && event->kind() == "jobResult") << done.stdout_text;
    return event ? event->json : nlohmann::ordered_json();
  };
  auto canceled =
      run.run({"--json", "--cancel-after", "8192", "--protected-prefix", "0"});
  ASSERT_TRUE(canceled) << canceled.error();
  EXPECT_EQ(canceled->status, ExitStatus::exited_with(1));
  const auto record = record_of(*canceled);
  EXPECT_EQ(record.value("succeeded", true), false);
  EXPECT_EQ(record.value("bytesWritten", 0), 8192);
  EXPECT_EQ(record.value("error", ""),
            "The write was canceled after 8192 bytes, as asked.");
  EXPECT_EQ(record.value("diskState", ""), "8192 bytes (8.0 KiB) reached " +
                                               run.target_path +
                                               ", which does not hold a usable image.");

  auto refused = harness::run_child(
      harness::bin_path("ravik-device-client"),
      {"write", run.image_path, run.dir.path() + "/none.img", "--json"});
  ASSERT_TRUE(refused) << refused.error();
  EXPECT_EQ(refused->status, ExitStatus::exited_with(1));
  EXPECT_EQ(lines_of(refused->stdout_text).size(), 1u);
  EXPECT_TRUE(
      record_of(*refused).value("error", "").starts_with("Could not find the target: "));
}

// A piped image is read once: taken with its published digest (also from a
// checksum file), refused without one.
TEST(ClientEndToEndTest, PipedImage_NeedsAndTakesItsPublishedDigest) {
  ClientRun run(2 * 1024 * 1024 + 512, 4 * 1024 * 1024);
  auto hashed = run.run({"--no-verify", "--end", "close"});
  ASSERT_TRUE(hashed) << hashed.error();
  const std::size_t at = hashed->stdout_text.find("sha256 ") + 7;
  const std::string digest = hashed->stdout_text.substr(at, 64);
  ASSERT_EQ(::truncate(run.target_path.c_str(), 0), 0);
  ASSERT_EQ(::truncate(run.target_path.c_str(), 4 * 1024 * 1024), 0);

  const auto client = harness::bin_path("ravik-device-client");
  const std::string sums = run.dir.write_file("SHA256SUMS", digest + "  image.img\n");
  auto piped =
      harness::run_child(client, {"write", "-", run.target_path, "--sha256", "@" + sums},
                         harness::ChildOptions::input(run.image));
  ASSERT_TRUE(piped) << piped.error();
  EXPECT_EQ(piped->status, ExitStatus::exited_with(0)) << piped->stderr_text;
  EXPECT_TRUE(piped->stdout_text.starts_with("Image:    - (2.0 MiB, sha256 " + digest))
      << piped->stdout_text;
  EXPECT_EQ(read_file(run.target_path).substr(0, run.image.size()), run.image);

  auto unsigned_pipe = harness::run_child(client, {"write", "-", run.target_path},
                                          harness::ChildOptions::input(run.image));
  ASSERT_TRUE(unsigned_pipe) << unsigned_pipe.error();
  EXPECT_EQ(unsigned_pipe->status, ExitStatus::exited_with(1));
  EXPECT_EQ(unsigned_pipe->stderr_text,
            "ravik-device-client: an image from a pipe is read once, and needs its "
            "published digest (--sha256). Nothing was written.\n");
}

// A file hashed once is remembered by its identity in the user's cache: the
// next write of it starts without a pass, and a file changed since (here
// only its change time moved) is hashed again.
TEST(ClientEndToEndTest, SecondWriteOfTheSameFile_TakesTheRememberedDigest) {
  ClientRun run(2 * 1024 * 1024, 4 * 1024 * 1024);
  const auto options =
      harness::ChildOptions().with_env("XDG_CACHE_HOME=" + run.dir.file("cache"));
  auto write = [&] {
    return harness::run_child(
        harness::bin_path("ravik-device-client"),
        {"write", run.image_path, run.target_path, "--end", "close"}, options);
  };
  for (const bool remembered : {false, true}) {
    auto done = write();
    ASSERT_TRUE(done) << done.error();
    EXPECT_EQ(done->status, ExitStatus::exited_with(0)) << done->stderr_text;
    EXPECT_EQ(done->stderr_text.find("HASH") == std::string::npos, remembered)
        << done->stderr_text;
    EXPECT_EQ(done->stdout_text.find("remembered from an earlier pass over this file") !=
                  std::string::npos,
              remembered)
        << done->stdout_text;
  }
  struct stat info = {};
  ASSERT_EQ(::stat(run.image_path.c_str(), &info), 0);
  const struct timespec same[2] = {info.st_atim, info.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, run.image_path.c_str(), same, 0), 0);
  auto changed = write();
  ASSERT_TRUE(changed) << changed.error();
  EXPECT_NE(changed->stderr_text.find("HASH 100%"), std::string::npos)
      << changed->stderr_text;
}

TEST(ClientEndToEndTest, HelpVersionAndTargetErrors) {
  ClientRun run(4096, 4096);
  const auto client = harness::bin_path("ravik-device-client");
  auto help = harness::run_child(client, {"help", "write"});
  ASSERT_TRUE(help) << help.error();
  EXPECT_EQ(help->status, ExitStatus::exited_with(0));
  EXPECT_NE(help->stdout_text.find("--sha256 HEX"), std::string::npos)
      << help->stdout_text;
  auto version = harness::run_child(client, {"--version"});
  ASSERT_TRUE(version) << version.error();
  EXPECT_TRUE(version->stdout_text.starts_with("ravik-device-client "));

  auto missing = harness::run_child(
      client, {"write", run.dir.path() + "/none.img", run.target_path});
  ASSERT_TRUE(missing) << missing.error();
  EXPECT_EQ(missing->status, ExitStatus::exited_with(1));
  EXPECT_EQ(
      missing->stderr_text,
      "ravik-device-client: Could not open the image: No such file or directory (os "
      "error 2)\n");
  auto directory = harness::run_child(client, {"write", run.image_path, run.dir.path()});
  ASSERT_TRUE(directory) << directory.error();
  EXPECT_EQ(directory->status, ExitStatus::exited_with(1));
  EXPECT_EQ(
      directory->stderr_text,
      "ravik-device-client: The target must be a block device or a regular file.\n");
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
  EXPECT_EQ(usage->stderr_text,
            "ravik-device-client: --end must be release, eject or close\n"
            "Run ravik-device-client --help for the commands.\n");
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

// Compressed images, made by the system's own tools: each is written as the
// decompressed image and verified; damaged ones fail before the helper is
// started, with nothing reported as written and the target untouched.
class CompressedImageTest : public ::testing::Test {
 protected:
  void compress(const std::string& tool, const std::vector<std::string>& args) {
    auto done = harness::run_child("/usr/bin/" + tool, args);
    ASSERT_TRUE(done) << done.error();
    ASSERT_EQ(done->status, ExitStatus::exited_with(0)) << done->stderr_text;
  }
  Result<harness::Completed> write(const std::string& image,
                                   std::vector<std::string> extra = {}) {
    (void)!::truncate(run_.target_path.c_str(), 0);
    (void)!::truncate(run_.target_path.c_str(), kTargetBytes);
    std::vector<std::string> args = {"write", image, run_.target_path, "--end", "close"};
    args.insert(args.end(), extra.begin(), extra.end());
    return harness::run_child(harness::bin_path("ravik-device-client"), args);
  }

  static constexpr std::size_t kTargetBytes = 4 * 1024 * 1024;
  ClientRun run_{3 * 1024 * 1024 + 512, kTargetBytes};
};

TEST_F(CompressedImageTest, EveryFormat_IsWrittenAsTheImageAndVerified) {
  const std::string& raw = run_.image_path;
  compress("xz", {"-1", "-k", raw});
  compress("zstd", {"-q", "-k", raw});
  compress("gzip", {"-k", raw});
  compress("bzip2", {"-k", raw});
  compress("zip", {"-q", "-j", run_.dir.path() + "/image.zip", raw});
  for (const std::string& image : {raw + ".xz", raw + ".zst", raw + ".gz", raw + ".bz2",
                                   run_.dir.path() + "/image.zip"}) {
    auto done = write(image);
    ASSERT_TRUE(done) << done.error();
    EXPECT_EQ(done->status, ExitStatus::exited_with(0)) << image << done->stderr_text;
    const std::string target = read_file(run_.target_path);
    EXPECT_EQ(target.substr(0, run_.image.size()), run_.image) << image;
    EXPECT_NE(done->stdout_text.find(", decompressed 3.0 MiB, sha256 "),
              std::string::npos)
        << done->stdout_text;
    EXPECT_NE(done->stdout_text.find("Verified: 3.0 MiB read back by the helper"),
              std::string::npos)
        << image;
    // The write's progress names the compressed bytes read beside the image's.
    EXPECT_NE(done->stderr_text.find(" read)\n"), std::string::npos) << done->stderr_text;
  }
}

// Zeros after the last gzip member are padding, as gzip itself takes them;
// anything else after them is damage.
TEST_F(CompressedImageTest, GzipZeroPadding_IsAcceptedAndNothingAfterIt) {
  compress("gzip", {"-k", run_.image_path});
  const std::string gzip = read_file(run_.image_path + ".gz") + std::string(10000, '\0');
  auto padded = write(run_.dir.write_file("padded.gz", gzip));
  ASSERT_TRUE(padded) << padded.error();
  EXPECT_EQ(padded->status, ExitStatus::exited_with(0)) << padded->stderr_text;
  EXPECT_EQ(read_file(run_.target_path).substr(0, run_.image.size()), run_.image);
  auto trailing = write(run_.dir.write_file("trailing.gz", gzip + "x"));
  ASSERT_TRUE(trailing) << trailing.error();
  EXPECT_EQ(trailing->status, ExitStatus::exited_with(1));
  EXPECT_NE(trailing->stderr_text.find("data follows the zero padding after the last "
                                       "member"),
            std::string::npos)
      << trailing->stderr_text;
}

TEST_F(CompressedImageTest, DamagedOrTooLarge_FailsWithNothingWritten) {
  const std::string& raw = run_.image_path;
  compress("xz", {"-1", "-k", raw});
  compress("gzip", {"-k", raw});
  const std::string xz = read_file(raw + ".xz");
  const std::string truncated =
      run_.dir.write_file("cut.xz", xz.substr(0, xz.size() - 9));
  std::string gzip = read_file(raw + ".gz");
  gzip[gzip.size() / 2] ^= 0x20;
  const std::string corrupt = run_.dir.write_file("bad.gz", gzip);
  const std::string bomb_source =
      run_.dir.write_file("zeros.img", std::string(kTargetBytes + 4096, '\0'));
  compress("gzip", {"-k", bomb_source});

  const std::string digest(64, 'a');  // never reached: the size comes first
  for (const auto& [image, extra, error] :
       std::vector<std::tuple<std::string, std::vector<std::string>, std::string>>{
           {truncated, {}, "The xz image is damaged or unreadable (reading its size): "},
           {truncated, {"--sha256", digest}, "The xz image is damaged"},
           {corrupt, {}, "The gzip image is damaged or unreadable (decompressing): "},
           {bomb_source + ".gz",
            {"--sha256", digest},
            "ravik-device-client: the image (more than 4.0 MiB once decompressed) is "
            "larger than " +
                run_.target_path + " (4.0 MiB). Nothing was written.\n"}}) {
    auto done = write(image, extra);
    ASSERT_TRUE(done) << done.error();
    EXPECT_EQ(done->status, ExitStatus::exited_with(1)) << image;
    EXPECT_NE(done->stderr_text.find(error), std::string::npos) << done->stderr_text;
    EXPECT_EQ(done->stdout_text.find("Written:"), std::string::npos) << done->stdout_text;
    EXPECT_EQ(read_file(run_.target_path), std::string(kTargetBytes, '\0')) << image;
  }

  // A given digest that is not the file's own is the decompressed image's:
  // the one pass that checks it meets damage inside the data before anything
  // is written.
  std::string damaged = xz;
  damaged[damaged.size() / 2] ^= 0x20;
  auto done = write(run_.dir.write_file("bad.xz", damaged), {"--sha256", digest});
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
  EXPECT_NE(done->stderr_text.find("ravik-device-client: The xz image is damaged or "
                                   "unreadable (decompressing): "),
            std::string::npos)
      << done->stderr_text;
  EXPECT_NE(done->stderr_text.find("Nothing was written."), std::string::npos)
      << done->stderr_text;
  EXPECT_EQ(read_file(run_.target_path), std::string(kTargetBytes, '\0'));
  EXPECT_EQ(done->stdout_text.find("Written:"), std::string::npos) << done->stdout_text;
}

}  // namespace
}  // namespace ravik
