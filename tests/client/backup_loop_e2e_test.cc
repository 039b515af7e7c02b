// backup, check and the clone on real loop devices, through the testing
// helper: a disk kept as .zst, .xz and raw and written back byte for byte,
// no file under the image's name after a kill mid-backup, the probe of a
// genuine disk, and a disk cloned to another.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "io/sha256.h"
#include "io/unique_fd.h"
#include "support/child_process.h"
#include "support/loop_device_fixture.h"
#include "support/pattern_bytes.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

using harness::ExitStatus;
using testing::LoopDevice;

constexpr std::uint64_t kMiB = 1024 * 1024;

std::string read_all(const std::string& path, std::size_t limit = SIZE_MAX) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(std::min<std::size_t>(limit, 64 * kMiB), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

void write_at(const std::string& path, std::uint64_t offset, const std::string& bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(fd);
  ASSERT_EQ(::pwrite(fd.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset)),
            static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::fsync(fd.get()), 0);
}

// The names in `directory` that begin with `prefix`.
std::vector<std::string> names_starting(const std::string& directory,
                                        const std::string& prefix) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.c_str());
  while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
    if (std::string_view(entry->d_name).starts_with(prefix))
      names.emplace_back(entry->d_name);
  }
  if (dir) ::closedir(dir);
  return names;
}

class BackupLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why_not;
    auto attached = LoopDevice::attach(dir_.file("source.img"), 16 * kMiB, 512, why_not);
    if (!attached) RAVIK_SKIP_WITHOUT_LOOP_DEVICES(why_not);
    source_.emplace(std::move(*attached));
    // Varied bytes at both ends, zeros between.
    content_ = testing::pattern_text(kMiB / 2, 3) + std::string(15 * kMiB, '\0') +
               testing::pattern_text(kMiB / 2, 4);
    write_at(source_->path(), 0, content_);
  }

  std::optional<LoopDevice> attach(const std::string& name, std::uint64_t size) {
    std::string why_not;
    return LoopDevice::attach(dir_.file(name), size, 512, why_not);
  }
  // The client with the testing helper; sessions closed, which leaves the
  // loop devices attached where a release would detach them.
  Result<harness::Completed> client(std::vector<std::string> args) {
    args.insert(args.end(),
                {"--helper", harness::testing_helper_path(), "--end", "close"});
    // No terminal asks here: a write goes on only when told to.
    if (args.front() == "write") args.push_back("--yes");
    return harness::run_child(harness::bin_path("ravik-device-client"), args);
  }

  harness::TempDir dir_;
  std::optional<LoopDevice> source_;
  std::string content_;
};

TEST_F(BackupLoopTest, Backup_ToZstXzAndRaw_IsWrittenBackByteForByte) {
  auto target = attach("target.img", 16 * kMiB);
  if (!target) GTEST_SKIP() << "no second loop device";
  const std::string digest = Sha256::hex_of(
      std::span(reinterpret_cast<const std::uint8_t*>(content_.data()), content_.size()));
  for (const std::string name : {"stick.img.zst", "stick.xz", "stick.img"}) {
    const std::string image = dir_.file(name);
    auto backup = client({"backup", source_->path(), image});
    ASSERT_TRUE(backup) << backup.error();
    ASSERT_EQ(backup->status, ExitStatus::exited_with(0)) << backup->stderr_text;
    EXPECT_NE(backup->stdout_text.find("Backup:   " + image), std::string::npos)
        << backup->stdout_text;
    EXPECT_EQ(read_all(image + ".sha256"), digest + "  " + name + "\n");
    if (name == "stick.img") {
      // A second backup under the same name is refused, the first kept.
      const std::string kept = read_all(image);
      auto again = client({"backup", source_->path(), image});
      ASSERT_TRUE(again);
      EXPECT_EQ(again->status, ExitStatus::exited_with(1));
      EXPECT_NE(again->stderr_text.find(image + " exists; --overwrite replaces it."),
                std::string::npos)
          << again->stderr_text;
      EXPECT_EQ(read_all(image), kept);
    }

    write_at(target->path(), 0, std::string(16 * kMiB, 'x'));
    // The checksum file spares the write its hashing pass.
    auto written =
        client({"write", image, target->path(), "--sha256", "@" + image + ".sha256"});
    ASSERT_TRUE(written) << written.error();
    ASSERT_EQ(written->status, ExitStatus::exited_with(0)) << written->stderr_text;
    EXPECT_TRUE(read_all(target->backing_path()) == content_) << name;
  }
}

TEST_F(BackupLoopTest, Backup_KilledMidway_LeavesNothingUnderTheImagesName) {
  auto big = attach("big.img", 512 * kMiB);
  if (!big) GTEST_SKIP() << "no second loop device";
  const std::string image = dir_.file("big.img.raw");
  auto child =
      harness::ChildProcess::start(harness::bin_path("ravik-device-client"),
                                   {"backup", big->path(), image, "--helper",
                                    harness::testing_helper_path(), "--end", "close"});
  ASSERT_TRUE(child) << child.error();
  // Killed once the first bytes reached the temporary file.
  bool seen = false;
  while (!seen && !child->wait(std::chrono::milliseconds(1))) {
    for (const std::string& name : names_starting(dir_.path(), ".big.img.raw.partial-")) {
      struct stat info = {};
      seen = seen || (::stat(dir_.file(name).c_str(), &info) == 0 && info.st_size > 0);
    }
  }
  ASSERT_TRUE(seen) << "the backup ended before it was killed: " << child->stderr_text();
  ASSERT_TRUE(child->send_signal(SIGKILL));
  EXPECT_EQ(child->wait(), ExitStatus::killed_by(SIGKILL));
  struct stat info = {};
  EXPECT_NE(::stat(image.c_str(), &info), 0);
  EXPECT_NE(::stat((image + ".sha256").c_str(), &info), 0);

  // Canceled rather than killed, the client removes its temporary file too.
  auto canceled = client({"backup", big->path(), image, "--cancel-after", "3145728"});
  ASSERT_TRUE(canceled) << canceled.error();
  EXPECT_EQ(canceled->status, ExitStatus::exited_with(1));
  EXPECT_NE(canceled->stderr_text.find("The backup was canceled after 3145728 bytes"),
            std::string::npos)
      << canceled->stderr_text;
  EXPECT_NE(::stat(image.c_str(), &info), 0);
}

TEST_F(BackupLoopTest, Clone_WritesAndVerifiesEveryTargetButNeverTheSource) {
  auto first = attach("first.img", 16 * kMiB);
  auto second = attach("second.img", 24 * kMiB);
  if (!first || !second) GTEST_SKIP() << "no three loop devices";
  auto onto_itself = client({"write", source_->path(), first->path(), source_->path()});
  ASSERT_TRUE(onto_itself) << onto_itself.error();
  EXPECT_EQ(onto_itself->status, ExitStatus::exited_with(1));
  EXPECT_NE(onto_itself->stderr_text.find(source_->path() + " holds the source " +
                                          source_->path() +
                                          ": a disk cannot be cloned onto itself."),
            std::string::npos)
      << onto_itself->stderr_text;
  EXPECT_EQ(read_all(first->backing_path()), std::string(16 * kMiB, '\0'));

  auto cloned = client({"write", source_->path(), first->path(), second->path()});
  ASSERT_TRUE(cloned) << cloned.error();
  ASSERT_EQ(cloned->status, ExitStatus::exited_with(0)) << cloned->stderr_text;
  EXPECT_NE(cloned->stdout_text.find(first->path() + "  ok"), std::string::npos)
      << cloned->stdout_text;
  EXPECT_TRUE(read_all(first->backing_path()) == content_);
  EXPECT_TRUE(read_all(second->backing_path(), 16 * kMiB) == content_);
  EXPECT_EQ(read_all(source_->backing_path()), content_);
}

TEST_F(BackupLoopTest, Check_OfAGenuineDisk_FindsAllOfItReal) {
  auto checked = client({"check", source_->path(), "--yes"});
  ASSERT_TRUE(checked) << checked.error();
  EXPECT_EQ(checked->status, ExitStatus::exited_with(0)) << checked->stderr_text;
  EXPECT_TRUE(checked->stdout_text.starts_with("Genuine:  all 16.0 MiB of " +
                                               source_->path() + " are real"))
      << checked->stdout_text;

  // write --check: the probe, then the write of a disk found all real.
  const std::string image =
      dir_.write_file("image.img", testing::pattern_text(3 * kMiB, 6));
  auto written = client({"write", image, source_->path(), "--check"});
  ASSERT_TRUE(written) << written.error();
  EXPECT_EQ(written->status, ExitStatus::exited_with(0)) << written->stderr_text;
  EXPECT_TRUE(written->stdout_text.starts_with("Genuine:  all 16.0 MiB of "))
      << written->stdout_text;
  EXPECT_TRUE(read_all(source_->backing_path(), 3 * kMiB) ==
              testing::pattern_text(3 * kMiB, 6));
}

}  // namespace
}  // namespace ravik
