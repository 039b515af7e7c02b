// The backup file (compression by name, the temporary name, the checksum
// line, no overwriting unless asked), the capacity report in words, and the
// command lines of backup, check and write --check.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/client_options.h"
#include "io/sha256.h"
#include "job/backup_file.h"
#include "job/capacity_check.h"
#include "job/checksum_file.h"
#include "job/image_source.h"
#include "job/messages.h"
#include "support/pattern_bytes.h"
#include "support/temp_dir.h"

namespace ravik::job {
namespace {

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> names_in(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.c_str());
  while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  if (dir) ::closedir(dir);
  std::ranges::sort(names);
  return names;
}

// What the client's own image reader, which recognises formats by content,
// makes of `path`.
std::string decoded(const std::string& path) {
  auto source = open_image_source(path);
  EXPECT_TRUE(source) << source.error();
  if (!source) return {};
  std::string bytes;
  std::vector<std::uint8_t> buffer(1 << 20);
  for (;;) {
    auto read = (*source)->read(buffer);
    EXPECT_TRUE(read) << read.error();
    if (!read || *read == 0) break;
    bytes.append(reinterpret_cast<const char*>(buffer.data()), *read);
  }
  return bytes;
}

TEST(BackupFileTest, EveryCompression_DecodesToTheBytesWithTheirChecksumLine) {
  harness::TempDir dir;
  // Varied bytes and a long run of zeros, fed in uneven pieces.
  std::vector<std::uint8_t> disk = testing::pattern_bytes(600 * 1024 + 17, 5);
  disk.resize(disk.size() + 2 * 1024 * 1024, 0);
  const std::string digest = Sha256::hex_of(disk);
  for (const auto& [name, format] : {std::pair{"disk.img.ZST", ImageFormat::kZstd},
                                     std::pair{"disk.xz", ImageFormat::kXz},
                                     std::pair{"disk.img.gz", ImageFormat::kGzip},
                                     std::pair{"disk.img", ImageFormat::kRaw}}) {
    const std::string path = dir.file(name);
    auto file = BackupFile::create(path, false);
    ASSERT_TRUE(file) << file.error();
    for (std::size_t at = 0; at < disk.size(); at += 300007) {
      const std::size_t n = std::min<std::size_t>(300007, disk.size() - at);
      ASSERT_TRUE(file->append(std::span(disk).subspan(at, n)));
    }
    auto committed = file->commit();
    ASSERT_TRUE(committed) << committed.error();
    EXPECT_EQ(*committed, digest);
    auto source = open_image_source(path);
    ASSERT_TRUE(source);
    EXPECT_EQ((*source)->format(), format) << name;
    EXPECT_EQ(decoded(path), std::string(disk.begin(), disk.end())) << name;
    // sha256sum's form, naming the file by its base name.
    EXPECT_EQ(file_text(path + ".sha256"), digest + "  " + name + "\n");
    const auto listed = digest_for_image(file_text(path + ".sha256"), dir.path(), path);
    ASSERT_TRUE(listed) << listed.error();
    EXPECT_EQ(*listed, digest);
  }
  // Nothing else is left in the directory: no temporary file.
  EXPECT_EQ(names_in(dir.path()).size(), 8u);
}

TEST(BackupFileTest, FinalName_OnlyOnceCompleteAndNeverOverAFileUnlessAsked) {
  harness::TempDir dir;
  const std::string path = dir.file("stick.img");
  {
    auto file = BackupFile::create(path, false);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->append(testing::pattern_bytes(5000)));
    // Under way: only the temporary name exists, beside the final one.
    EXPECT_EQ(names_in(dir.path()).size(), 1u);
    EXPECT_TRUE(file->temporary_path().starts_with(dir.path() + "/.stick.img.partial-"));
    EXPECT_EQ(file_text(path), "");
  }
  // Given up: the temporary file is gone too.
  EXPECT_TRUE(names_in(dir.path()).empty());

  dir.write_file("stick.img", "precious");
  auto refused = BackupFile::create(path, false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            path + " exists; --overwrite replaces it. Nothing was read.");
  ::unlink(path.c_str());
  dir.write_file("stick.img.sha256", "precious");
  EXPECT_FALSE(BackupFile::create(path, false));

  // A file that appears under the name during the backup is kept as well.
  ::unlink((path + ".sha256").c_str());
  auto racing = BackupFile::create(path, false);
  ASSERT_TRUE(racing);
  dir.write_file("stick.img", "precious");
  ASSERT_TRUE(racing->append(testing::pattern_bytes(5000)));
  EXPECT_FALSE(racing->commit());
  EXPECT_EQ(file_text(path), "precious");

  auto replacing = BackupFile::create(path, true);
  ASSERT_TRUE(replacing);
  ASSERT_TRUE(replacing->append(testing::pattern_bytes(5000)));
  ASSERT_TRUE(replacing->commit());
  EXPECT_EQ(file_text(path), testing::pattern_text(5000));
}

HelperEvent event_of(const std::string& members) {
  auto event = parse_event_line(
      R"({"event":"capacityProbed","protocolVersion":1,"requestId":"r","sessionId":"s",)"
      R"("taskId":"t","operationId":"probe-1",)" +
      members + "}");
  EXPECT_TRUE(event);
  return *event;
}

TEST(CapacityCheckTest, Findings_AreToldInWordsAndNonsenseIsRefused) {
  constexpr std::uint64_t kGiB = 1ULL << 30;
  auto genuine = parse_capacity_probed(event_of(
      R"("reportedBytes":17179869184,"verifiedBytes":17179869184,"finding":"genuine",)"
      R"("blocksProbed":90)"));
  ASSERT_TRUE(genuine) << genuine.error();
  EXPECT_EQ(capacity_words(*genuine, "/dev/sdx"),
            "Genuine:  all 16.0 GiB of /dev/sdx are real: every block written across it "
            "read back as written (90 blocks probed).");
  auto wrapped = parse_capacity_probed(event_of(
      R"("reportedBytes":68719476736,"verifiedBytes":8589934592,"finding":"wrapAround",)"
      R"("blocksProbed":120,"firstBadOffsetBytes":8589934592,"wrapsToOffsetBytes":0)"));
  ASSERT_TRUE(wrapped) << wrapped.error();
  EXPECT_EQ(wrapped->verified_bytes, 8 * kGiB);
  EXPECT_EQ(capacity_words(*wrapped, "/dev/sdx"),
            "COUNTERFEIT: only the first 8.0 GiB of the 64.0 GiB that /dev/sdx reports "
            "are real (12%; 120 blocks probed): reading at 8.0 GiB returns what was "
            "written at 0 B: writes past the real size wrap around over earlier data. It "
            "was left without a partition table.");
  auto dropped = parse_capacity_probed(event_of(
      R"("reportedBytes":4294967296,"verifiedBytes":4294967040,"finding":"droppedWrites",)"
      R"("blocksProbed":7,"firstBadOffsetBytes":4294967040)"));
  ASSERT_TRUE(dropped);
  // Almost all of it is still not all of it.
  EXPECT_NE(capacity_words(*dropped, "/dev/sdx")
                .find("(99.9%; 7 blocks probed): what "
                      "is written at 4.0 GiB and beyond "
                      "is lost"),
            std::string::npos);
  const char* nonsense[] = {
      // genuine, yet short of the reported size
      R"("reportedBytes":100,"verifiedBytes":99,"finding":"genuine","blocksProbed":1)",
      // a wrap-around without its target
      R"("reportedBytes":100,"verifiedBytes":50,"finding":"wrapAround","blocksProbed":1,)"
      R"("firstBadOffsetBytes":50)",
      // a failing offset outside the disk
      R"("reportedBytes":100,"verifiedBytes":50,"finding":"corrupted","blocksProbed":1,)"
      R"("firstBadOffsetBytes":100)",
      R"("reportedBytes":100,"verifiedBytes":100,"finding":"fake","blocksProbed":1)",
      R"("reportedBytes":100,"verifiedBytes":100,"finding":"genuine","blocksProbed":1,)"
      R"("extra":true)",
      R"("reportedBytes":100,"verifiedBytes":101,"finding":"genuine","blocksProbed":1)",
  };
  for (const char* members : nonsense) {
    EXPECT_FALSE(parse_capacity_probed(event_of(members))) << members;
  }
}

TEST(CapacityCheckTest, NewCommands_HaveTheMembersOfTheirKind) {
  TargetFields target;
  target.device_id = "sdx";
  target.device_path = "/dev/sdx";
  target.size_bytes = 4096;
  EXPECT_EQ(open_read_message({"q", "s", "t"}, target, false).dump(),
            R"({"type":"open_read","protocolVersion":1,"requestId":"q","sessionId":"s",)"
            R"("taskId":"t","target":{"platform":"linux","deviceId":"sdx",)"
            R"("devicePath":"/dev/sdx","sizeBytes":4096}})");
  EXPECT_EQ(probe_capacity_message("p").dump(),
            R"({"type":"probeCapacity","protocolVersion":1,"operationId":"p"})");
}

TEST(CapacityCheckTest, CommandLines_OfBackupCheckAndWriteCheck) {
  std::vector<std::string_view> args = {"backup", "/dev/sdx", "out.zst", "--overwrite"};
  auto backup = cli::parse_client_command_line(args);
  ASSERT_TRUE(backup.options) << backup.error;
  EXPECT_EQ(backup.options->command, ClientCommand::kBackup);
  EXPECT_EQ(backup.options->target_path, "/dev/sdx");
  EXPECT_EQ(backup.options->image_path, "out.zst");
  EXPECT_TRUE(backup.options->overwrite);
  EXPECT_EQ(backup.options->end, EndCommand::kRelease);
  args = {"backup", "/dev/sdx", "-"};
  EXPECT_EQ(cli::parse_client_command_line(args).error,
            "backup makes a file; IMAGE cannot be -");

  args = {"check", "/dev/sdx"};
  auto check = cli::parse_client_command_line(args);
  ASSERT_TRUE(check.options) << check.error;
  EXPECT_EQ(check.options->command, ClientCommand::kCheck);
  EXPECT_EQ(check.options->end, EndCommand::kEject);
  args = {"check", "/dev/sdx", "--end", "release"};
  EXPECT_EQ(cli::parse_client_command_line(args).error,
            "--end must be eject or close for check");

  args = {"write", "a.img", "/dev/sdx", "--check"};
  auto write = cli::parse_client_command_line(args);
  ASSERT_TRUE(write.options) << write.error;
  EXPECT_TRUE(write.options->check_capacity);
}

}  // namespace
}  // namespace ravik::job
