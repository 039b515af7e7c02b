// ravik-device-client on this machine's real loop devices: `list` shows one,
// and an unprivileged user writes one through sudo (with a sudoers rule made
// for the test) or is refused when sudo cannot run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "io/unique_fd.h"
#include "support/child_process.h"
#include "support/loop_device_fixture.h"
#include "support/pattern_bytes.h"
#include "support/sha256_hex.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

using harness::ChildOptions;
using harness::ExitStatus;
using testing::LoopDevice;
using testing::run_command;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr uid_t kNobody = 65534;

std::string read_prefix(const std::string& path, std::size_t size) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(size, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

// A rule in /etc/sudoers.d for this test only. It is checked with visudo
// under a name sudo ignores (it holds a dot) before it takes its real name,
// so that a faulty rule never reaches sudo, and both names are removed
// whatever the test's outcome.
class SudoersRule {
 public:
  explicit SudoersRule(const std::string& rule)
      : path_("/etc/sudoers.d/ravik-client-test-" + std::to_string(::getpid())),
        staged_("/etc/sudoers.d/.ravik-client-test-" + std::to_string(::getpid())) {
    UniqueFd file(::open(staged_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0440));
    const std::string text = rule + "\n";
    if (!file || ::write(file.get(), text.data(), text.size()) !=
                     static_cast<ssize_t>(text.size())) {
      problem_ = "could not write " + staged_;
      return;
    }
    const auto checked = run_command({"visudo", "-c", "-q", "-f", staged_});
    if (checked.exit_code != 0) {
      problem_ = "visudo refused the rule: " + checked.output;
    } else if (::rename(staged_.c_str(), path_.c_str()) != 0) {
      problem_ = "could not install " + path_;
    }
  }
  SudoersRule(const SudoersRule&) = delete;
  SudoersRule& operator=(const SudoersRule&) = delete;
  ~SudoersRule() {
    ::unlink(path_.c_str());
    ::unlink(staged_.c_str());
  }
  // Empty once the rule is in force.
  const std::string& problem() const { return problem_; }

 private:
  std::string path_;
  std::string staged_;
  std::string problem_;
};

class ClientLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The unprivileged runs must reach the image.
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    std::string why_not;
    auto attached = LoopDevice::attach(dir_.file("disk.img"), 16 * kMiB, 512, why_not);
    if (!attached) RAVIK_SKIP_WITHOUT_LOOP_DEVICES(why_not);
    loop_.emplace(std::move(*attached));
  }
  void TearDown() override { loop_.reset(); }

  // The client's write of a fresh image to the loop device, run as nobody in
  // a session of its own: without a terminal, whatever the test was run from.
  std::vector<std::string> nobody_write(std::size_t size = 3 * kMiB) {
    std::vector<std::string> args = {harness::bin_path("ravik-device-client")};
    for (std::string& argument : write_arguments(size))
      args.push_back(std::move(argument));
    return args;
  }
  Result<harness::Completed> write_as_nobody() {
    return harness::run_child("/usr/bin/setsid", nobody_write(),
                              ChildOptions().as_user(kNobody, kNobody));
  }
  std::vector<std::string> write_arguments(std::size_t size = 3 * kMiB) {
    image_ = testing::pattern_text(size);
    return {"write",
            dir_.write_file("image.img", image_, 0644),
            loop_->path(),
            "--helper",
            harness::testing_helper_path(),
            "--yes"};
  }
  std::string nobody_rule() const {
    // Exactly the helper, without arguments: what the client asks sudo for.
    return "nobody ALL=(root) NOPASSWD: " + harness::testing_helper_path() + " \"\"";
  }
  bool disk_untouched() const {
    return read_prefix(loop_->backing_path(), 16 * kMiB) == std::string(16 * kMiB, '\0');
  }

  // A second disk beside loop_, for writes to several.
  std::optional<LoopDevice> attach_second() {
    std::string why_not;
    return LoopDevice::attach(dir_.file("second.img"), 16 * kMiB, 512, why_not);
  }
  // An 8 MiB image whose one partition starts at 2 MiB, as its MBR says.
  std::string partitioned_image() {
    image_ = testing::pattern_text(8 * kMiB);
    const std::string path = dir_.write_file("image.img", image_, 0644);
    auto table = harness::run_child("/usr/sbin/sfdisk", {"-q", path},
                                    ChildOptions::input("start=4096, type=83\n"));
    EXPECT_TRUE(table && table->status == ExitStatus::exited_with(0));
    image_ = read_prefix(path, 8 * kMiB);
    return path;
  }
  static bool has_partition_table(const LoopDevice& disk) {
    return run_command({"sfdisk", "-d", disk.path()}).exit_code == 0;
  }
  // The client with the testing helper; the session closed, which leaves
  // the loop devices attached where a release would detach them.
  Result<harness::Completed> client(std::vector<std::string> args) {
    args.insert(args.end(),
                {"--helper", harness::testing_helper_path(), "--end", "close", "--yes"});
    return harness::run_child(harness::bin_path("ravik-device-client"), args);
  }

  harness::TempDir dir_;
  std::optional<LoopDevice> loop_;
  std::string image_;
};

// By default the partition-table area is written last: a write that fails
// leaves no table behind, and says how far it got, for one disk or several.
TEST_F(ClientLoopTest, FailedWrite_LeavesNoPartitionTableAndSaysHowFarItGot) {
  const std::string image = partitioned_image();
  auto wrong = client({"write", image, loop_->path(), "--sha256", std::string(64, '0')});
  ASSERT_TRUE(wrong) << wrong.error();
  EXPECT_EQ(wrong->status, ExitStatus::exited_with(1));
  EXPECT_TRUE(wrong->stderr_text.ends_with(
      "ravik-device-client: 8388608 bytes (8.0 MiB) reached " + loop_->path() +
      ", which does not hold a usable image.\n"))
      << wrong->stderr_text;
  EXPECT_FALSE(has_partition_table(*loop_));
  EXPECT_TRUE(read_prefix(loop_->backing_path(), 2 * kMiB) == std::string(2 * kMiB, 0));

  auto second = attach_second();
  if (!second) GTEST_SKIP() << "no second loop device";
  auto canceled = client({"write", image, loop_->path(), second->path(), "--no-verify",
                          "--cancel-after", std::to_string(6 * kMiB)});
  ASSERT_TRUE(canceled) << canceled.error();
  EXPECT_EQ(canceled->status, ExitStatus::exited_with(1));
  for (const LoopDevice* disk : {&*loop_, &*second}) {
    EXPECT_FALSE(has_partition_table(*disk));
    EXPECT_NE(canceled->stdout_text.find(disk->path() + "  FAILED  6.0 MiB"),
              std::string::npos)
        << canceled->stdout_text;
    EXPECT_NE(canceled->stderr_text.find("ravik-device-client: 6291456 bytes (6.0 MiB) "
                                         "reached " +
                                         disk->path() + ", which"),
              std::string::npos)
        << canceled->stderr_text;
  }

  // For scripts: each disk's record, then the job's, with the helper's code.
  auto json = client({"write", image, loop_->path(), second->path(), "--json", "--sha256",
                      std::string(64, '0')});
  ASSERT_TRUE(json) << json.error();
  EXPECT_EQ(json->status, ExitStatus::exited_with(1)) << json->stderr_text;
  std::vector<nlohmann::json> records;
  std::istringstream lines(json->stdout_text);
  for (std::string line; std::getline(lines, line);) {
    records.push_back(nlohmann::json::parse(line, nullptr, false));
  }
  ASSERT_EQ(records.size(), 3u) << json->stdout_text;
  std::set<std::string> failed;
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(records[i].value("event", ""), "diskResult") << records[i];
    EXPECT_EQ(records[i].value("errorCode", ""), "IMAGE_MISSING") << records[i];
    failed.insert(records[i].value("target", ""));
  }
  EXPECT_EQ(failed, (std::set<std::string>{loop_->path(), second->path()}));
  EXPECT_EQ(records[2].value("event", ""), "jobResult") << records[2];
  EXPECT_EQ(records[2].value("errorCode", ""), "IMAGE_MISSING") << records[2];
  EXPECT_EQ(records[2]["failedTargets"].size(), 2u) << records[2];

  // Written in full, the table is there.
  auto written = client({"write", image, loop_->path()});
  ASSERT_TRUE(written) << written.error();
  EXPECT_EQ(written->status, ExitStatus::exited_with(0)) << written->stderr_text;
  EXPECT_TRUE(has_partition_table(*loop_));
  EXPECT_EQ(read_prefix(loop_->backing_path(), image_.size()), image_);
}

TEST_F(ClientLoopTest, List_ShowsTheLoopDeviceWithPathSizeAndTransport) {
  const std::string client = harness::bin_path("ravik-device-client");
  auto table = harness::run_child(client, {"list", "--loop-devices"});
  ASSERT_TRUE(table) << table.error();
  EXPECT_EQ(table->status, ExitStatus::exited_with(0)) << table->stderr_text;
  // Under the header, the loop device's row. Its columns are padded to fit
  // the widest row, which may be another test's loop device.
  std::istringstream rows(table->stdout_text);
  std::string row;
  std::getline(rows, row);
  EXPECT_TRUE(row.starts_with("DEVICE ")) << table->stdout_text;
  while (std::getline(rows, row) && !row.starts_with(loop_->path() + " ")) {
  }
  EXPECT_TRUE(std::regex_search(row, std::regex(" 16\\.0 MiB  +loop ")))
      << table->stdout_text;

  auto json = harness::run_child(client, {"list", "--loop-devices", "--json"});
  ASSERT_TRUE(json) << json.error();
  EXPECT_EQ(json->status, ExitStatus::exited_with(0)) << json->stderr_text;
  std::istringstream lines(json->stdout_text);
  int found = 0;
  for (std::string line; std::getline(lines, line);) {
    const auto disk = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(disk.is_object()) << line;
    if (disk.value("devicePath", "") != loop_->path()) continue;
    ++found;
    EXPECT_EQ(disk["sizeBytes"], 16 * kMiB) << line;
    EXPECT_EQ(disk["transport"], "loop") << line;
    EXPECT_EQ(disk["offered"], true) << line;
    EXPECT_EQ(disk["mounted"], nlohmann::json::array()) << line;
  }
  EXPECT_EQ(found, 1) << json->stdout_text;
}

// A helper that stops (SIGSTOP, before it opens its disk) holds back
// neither the other disk's result nor the end of the job: it is given up
// after --stall-limit, or at once on the user's interrupt.
TEST_F(ClientLoopTest, StoppedHelper_IsGivenUpWhileTheOtherDiskFinishes) {
  auto second = attach_second();
  if (!second) GTEST_SKIP() << "no second loop device";
  const std::string image = dir_.write_file("image.img", testing::pattern_text(8 * kMiB));
  // The first helper started stops itself; the marker says which one.
  const std::string helper = dir_.write_file(
      "helper.sh",
      "#!/bin/sh\nif mkdir \"$0.stopped\" 2>/dev/null; then echo $$ >\"$0.stopped/pid\";"
      " kill -STOP $$; fi\nexec " +
          harness::testing_helper_path() + "\n",
      0755);
  auto stopped_disk_untouched = [&] {
    return read_prefix(loop_->backing_path(), kMiB) == std::string(kMiB, '\0') ||
           read_prefix(second->backing_path(), kMiB) == std::string(kMiB, '\0');
  };
  const std::vector<std::string> args = {"write",        image,      loop_->path(),
                                         second->path(), "--helper", helper,
                                         "--end",        "close",    "--yes"};
  for (const bool interrupt : {false, true}) {
    (void)::unlink((helper + ".stopped/pid").c_str());
    (void)::rmdir((helper + ".stopped").c_str());
    std::vector<std::string> run_args = args;
    if (!interrupt) run_args.insert(run_args.end(), {"--stall-limit", "2"});
    auto client = harness::ChildProcess::start(harness::bin_path("ravik-device-client"),
                                               run_args, ChildOptions());
    ASSERT_TRUE(client) << client.error();
    // The other disk's result comes while the stopped one still holds on.
    std::optional<std::string> line;
    while ((line = client->read_line(std::chrono::seconds(60))) &&
           !line->starts_with("Finished: ")) {
    }
    ASSERT_TRUE(line) << client->stderr_text();
    EXPECT_NE(line->find(" ok, 8.0 MiB written, verified yes"), std::string::npos)
        << *line;
    if (interrupt) {
      ASSERT_TRUE(client->send_signal(SIGINT));
    }
    const auto rest = client->read_stdout_to_end(std::chrono::seconds(60));
    ASSERT_TRUE(rest) << client->stderr_text();
    EXPECT_EQ(client->wait(), ExitStatus::exited_with(interrupt ? 130 : 1));
    EXPECT_NE(rest->find(" FAILED after 0 B"), std::string::npos) << *rest;
    if (!interrupt) {
      EXPECT_NE(client->stderr_text().find("The disk gave no progress for 2 s and was "
                                           "given up; its helper was stopped."),
                std::string::npos)
          << client->stderr_text();
    }
    if (!interrupt) {
      EXPECT_TRUE(stopped_disk_untouched());
    }
  }
  // Should the client have left it, the stopped helper goes with the test.
  std::ifstream pid_file(helper + ".stopped/pid");
  pid_t pid = 0;
  if (pid_file >> pid && pid > 0) ::kill(pid, SIGKILL);
}

// A blkio cgroup whose writes to one disk crawl at a few KiB/s: the helper
// placed in it sits in the kernel for minutes on each direct write, as on a
// hung stick. The throttle is lifted and every helper started in the group
// ended before the group goes, whatever the test's outcome.
class ThrottledGroup {
 public:
  ThrottledGroup(const LoopDevice& disk, std::uint64_t write_bps, harness::TempDir& dir)
      : path_("/sys/fs/cgroup/blkio/ravik-client-test." + std::to_string(::getpid())),
        pids_(dir.file("throttled-helper.pids")),
        write_bps_(write_bps) {
    struct stat status {};
    if (::stat(disk.path().c_str(), &status) != 0) return;
    device_ = std::to_string(major(status.st_rdev)) + ":" +
              std::to_string(minor(status.st_rdev));
    if (::mkdir(path_.c_str(), 0755) != 0) return;
    created_ = true;
    ready_ = throttle(write_bps_);
    helper_ =
        dir.write_file("throttled-helper.sh",
                       "#!/bin/sh\necho $$ >" + path_ + "/cgroup.procs\necho $$ >>" +
                           pids_ + "\nexec " + harness::testing_helper_path() + "\n",
                       0755);
  }
  ThrottledGroup(const ThrottledGroup&) = delete;
  ThrottledGroup& operator=(const ThrottledGroup&) = delete;
  ~ThrottledGroup() {
    end_helpers();
    if (created_) ::rmdir(path_.c_str());
  }
  bool ready() const { return ready_; }
  // A helper that joins the group, then runs the testing helper.
  const std::string& helper() const { return helper_; }
  // Lifts the throttle so that every helper started in the group can end,
  // ends them, and throttles again.
  void end_helpers() {
    if (!created_) return;
    (void)throttle(0);
    std::ifstream pids(pids_);
    for (pid_t pid = 0; pids >> pid;) {
      ::kill(pid, SIGKILL);
      for (int i = 0; i < 300 && ::kill(pid, 0) == 0; ++i) ::usleep(100'000);
    }
    (void)::unlink(pids_.c_str());
    (void)throttle(write_bps_);
  }

 private:
  bool throttle(std::uint64_t bps) const {
    std::ofstream out(path_ + "/blkio.throttle.write_bps_device");
    out << device_ << ' ' << bps << '\n';
    out.flush();
    return static_cast<bool>(out);
  }
  std::string path_;
  std::string pids_;
  std::uint64_t write_bps_;
  std::string device_;
  std::string helper_;
  bool created_ = false;
  bool ready_ = false;
};

// A disk stuck in the kernel holds nobody: beside a healthy disk it is given
// up once it showed no progress for the stall limit while the other finishes,
// and alone it lets one Ctrl-C end the job.
TEST_F(ClientLoopTest, HungDisk_IsGivenUpAndAnInterruptEndsTheJob) {
  auto second = attach_second();
  if (!second) GTEST_SKIP() << "no second loop device";
  ThrottledGroup group(*loop_, 4096, dir_);
  if (!group.ready()) GTEST_SKIP() << "no blkio cgroup throttling here";
  const std::string image = partitioned_image();
  const std::string& helper = group.helper();
  {
    auto client = harness::ChildProcess::start(
        harness::bin_path("ravik-device-client"),
        {"write", image, loop_->path(), second->path(), "--helper", helper, "--end",
         "close", "--stall-limit", "2", "--yes"},
        ChildOptions());
    ASSERT_TRUE(client) << client.error();
    const auto out = client->read_stdout_to_end(std::chrono::seconds(60));
    ASSERT_TRUE(out) << client->stderr_text();
    EXPECT_EQ(client->wait(), ExitStatus::exited_with(1));
    EXPECT_NE(out->find("Finished: " + second->path() + " ok, 8.0 MiB written"),
              std::string::npos)
        << *out;
    EXPECT_NE(out->find("Finished: " + loop_->path() + " FAILED"), std::string::npos)
        << *out;
    EXPECT_NE(client->stderr_text().find(loop_->path() +
                                         ": The disk gave no progress for 2 s and was "
                                         "given up; its helper was stopped."),
              std::string::npos)
        << client->stderr_text();
  }
  // The given-up helper still holds the disk until its write returns.
  group.end_helpers();
  auto client = harness::ChildProcess::start(
      harness::bin_path("ravik-device-client"),
      {"write", image, loop_->path(), "--helper", helper, "--end", "close", "--yes"},
      ChildOptions());
  ASSERT_TRUE(client) << client.error();
  // The helper holds the disk and is stuck blanking its partition table.
  for (int i = 0; i < 100 && client->stderr_text().find("WRITE") == std::string::npos;
       ++i) {
    ::usleep(100'000);
  }
  ::usleep(500'000);
  ASSERT_TRUE(client->send_signal(SIGINT));
  EXPECT_EQ(client->wait(std::chrono::seconds(30)), ExitStatus::exited_with(130))
      << client->stderr_text();
  EXPECT_FALSE(has_partition_table(*loop_));
}

// Wrong arguments, a missing helper or an empty image are refused before
// the pass over the image, which is shown and timed when it runs.
TEST_F(ClientLoopTest, CheapChecks_ComeBeforeThePassOverTheImage) {
  const std::string image = dir_.write_file("image.img", testing::pattern_text(kMiB));
  ASSERT_EQ(run_command({"gzip", "-k", image}).exit_code, 0);
  const std::string program = harness::bin_path("ravik-device-client");
  const std::string empty = dir_.write_file("empty.img", "");
  for (const auto& [args, status, error] :
       std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
           {{"write", image + ".gz", loop_->path(), "--helper", "/nonexistent/helper"},
            1,
            "ravik-device-client: the helper /nonexistent/helper cannot be run: No such "
            "file or directory (os error 2). Nothing was written.\n"},
           {{"write", image + ".gz", loop_->path(), "--boot-file", "a/b=" + image},
            2,
            "--boot-file: \"a/b\" is not a file name"},
           {{"write", image + ".gz", loop_->path(), "--protected-prefix", "16777217"},
            2,
            "--protected-prefix may hold back at most 16777216 bytes"},
           {{"recover", loop_->path(), "--label", "a*b"}, 2, "--label needs 1 to 11"},
           {{"write", empty, loop_->path(), "--helper", harness::testing_helper_path(),
             "--yes"},
            1,
            "ravik-device-client: the image is empty. Nothing was written.\n"}}) {
    auto done = harness::run_child(program, args);
    ASSERT_TRUE(done) << done.error();
    EXPECT_EQ(done->status, ExitStatus::exited_with(status)) << done->stderr_text;
    EXPECT_NE(done->stderr_text.find(error), std::string::npos) << done->stderr_text;
    EXPECT_EQ(done->stderr_text.find("HASH"), std::string::npos) << done->stderr_text;
    EXPECT_EQ(done->stderr_text.find("volumeLabel"), std::string::npos);
  }
  EXPECT_TRUE(disk_untouched());
  auto written = client({"write", image, loop_->path()});
  ASSERT_TRUE(written) << written.error();
  EXPECT_EQ(written->status, ExitStatus::exited_with(0)) << written->stderr_text;
  EXPECT_NE(written->stderr_text.find("HASH 100%"), std::string::npos)
      << written->stderr_text;
  EXPECT_NE(written->stdout_text.find(", hashed in "), std::string::npos)
      << written->stdout_text;
}

// On a terminal the disk is named with its partitions and the user asked;
// --yes asks nothing; without a terminal to ask on, only --yes goes on.
TEST_F(ClientLoopTest, OnATerminal_TheWriteIsConfirmedFirst) {
  const std::string image = dir_.write_file("image.img", testing::pattern_text(kMiB));
  const std::vector<std::string> args = {
      "write", image,  loop_->path(), "--helper", harness::testing_helper_path(),
      "--end", "close"};
  auto unasked = harness::run_child(harness::bin_path("ravik-device-client"), args);
  ASSERT_TRUE(unasked) << unasked.error();
  EXPECT_EQ(unasked->status, ExitStatus::exited_with(1));
  EXPECT_EQ(unasked->stderr_text,
            "ravik-device-client: there is no terminal to ask on before everything on " +
                loop_->path() +
                " is overwritten; give --yes to go on without asking. Nothing was "
                "written.\n");
  EXPECT_TRUE(disk_untouched());

  // A partition for the prompt to name.
  ASSERT_EQ(
      run_command({"sh", "-c", "echo start=2048 | sfdisk -q " + loop_->path()}).exit_code,
      0);
  (void)run_command({"partx", "-a", loop_->path()});
  const std::string partitioned = read_prefix(loop_->backing_path(), 16 * kMiB);
  auto on_terminal = [&](const std::string& extra, const std::string& answer) {
    std::string command = "exec '" + harness::bin_path("ravik-device-client") +
                          "' write '" + image + "' " + loop_->path() + " --helper '" +
                          harness::testing_helper_path() + "' --end close" + extra;
    return harness::run_child(
        "/usr/bin/script", {"-qec", command, "/dev/null"},
        ChildOptions::input(answer).with_env("XDG_CACHE_HOME=" + dir_.file("cache")),
        std::chrono::seconds(30));
  };
  auto declined = on_terminal("", "n\n");
  ASSERT_TRUE(declined) << declined.error();
  EXPECT_EQ(declined->status, ExitStatus::exited_with(1)) << declined->stdout_text;
  EXPECT_NE(declined->stdout_text.find("Everything on " + loop_->path() +
                                       " will be overwritten:"),
            std::string::npos)
      << declined->stdout_text;
  EXPECT_NE(declined->stdout_text.find("    partition " + loop_->path() + "p1  15.0 MiB"),
            std::string::npos)
      << declined->stdout_text;
  EXPECT_NE(declined->stdout_text.find(loop_->path() + "  "), std::string::npos);
  EXPECT_NE(declined->stdout_text.find("  16.0 MiB"), std::string::npos);
  EXPECT_NE(declined->stdout_text.find("not confirmed. Nothing was written."),
            std::string::npos);
  EXPECT_EQ(read_prefix(loop_->backing_path(), 16 * kMiB), partitioned);

  for (const auto& [extra, answer] : {std::pair{"", "y\n"}, std::pair{" --yes", ""}}) {
    auto accepted = on_terminal(extra, answer);
    ASSERT_TRUE(accepted) << accepted.error();
    EXPECT_EQ(accepted->status, ExitStatus::exited_with(0)) << accepted->stdout_text;
    EXPECT_EQ(accepted->stdout_text.find("Continue?") == std::string::npos,
              std::string(extra) == " --yes")
        << accepted->stdout_text;
  }
  EXPECT_FALSE(disk_untouched());
  // The disk's rate, known now, estimates the next job's time.
  auto estimated = on_terminal("", "n\n");
  ASSERT_TRUE(estimated) << estimated.error();
  EXPECT_NE(estimated->stdout_text.find(" to write, at the "), std::string::npos)
      << estimated->stdout_text;
  EXPECT_NE(estimated->stdout_text.find("/s it wrote at last time"), std::string::npos);
}

// A distribution's checksum file gives the digest of the compressed file:
// it is recognised as the download's, the one pass gives the image's own
// digest for the helper, the summary and the record, and a digest of
// neither is refused before anything is written.
TEST_F(ClientLoopTest, PublishedDigestOfACompressedImage_IsTheDownloadsDigest) {
  image_ = testing::pattern_text(kMiB, 7);
  const std::string raw = dir_.write_file("os.img", image_);
  ASSERT_EQ(run_command({"xz", "-k", "-0", "-T1", raw}).exit_code, 0);
  const std::string xz = raw + ".xz";
  const std::string xz_digest = testing::sha256_hex(read_prefix(xz, 16 * kMiB));
  const std::string raw_digest = testing::sha256_hex(image_);
  // Clear-signed, in BSD form; the first line names another file.
  const std::string sums =
      dir_.write_file("SHA256SUMS",
                      "-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA256\n\nSHA256 "
                      "(sub/os.img.xz) = " +
                          std::string(64, 'e') + "\nSHA256 (os.img.xz) = " + xz_digest +
                          "\n-----BEGIN PGP SIGNATURE-----\n\nc2lnbg==\n"
                          "-----END PGP SIGNATURE-----\n");

  auto wrong = client({"write", xz, loop_->path(), "--sha256", std::string(64, 'e')});
  ASSERT_TRUE(wrong) << wrong.error();
  EXPECT_EQ(wrong->status, ExitStatus::exited_with(1));
  EXPECT_NE(wrong->stderr_text.find(
                "ravik-device-client: The image is not the one the given digest "
                "describes: --sha256 " +
                std::string(64, 'e') + " is neither the digest of the xz file (" +
                xz_digest + ") nor that of the image decompressed from it (" +
                raw_digest + "). Nothing was written.\n"),
            std::string::npos)
      << wrong->stderr_text;
  EXPECT_TRUE(disk_untouched());

  auto written = client({"write", xz, loop_->path(), "--sha256", "@" + sums});
  ASSERT_TRUE(written) << written.error();
  EXPECT_EQ(written->status, ExitStatus::exited_with(0)) << written->stderr_text;
  EXPECT_NE(written->stderr_text.find("download checksum matches\n"), std::string::npos)
      << written->stderr_text;
  EXPECT_NE(written->stdout_text.find("sha256 " + raw_digest +
                                      ", download checksum matches, hashed in "),
            std::string::npos)
      << written->stdout_text;
  EXPECT_EQ(read_prefix(loop_->backing_path(), image_.size()), image_);

  auto recorded = client({"write", xz, loop_->path(), "--sha256", xz_digest, "--json"});
  ASSERT_TRUE(recorded) << recorded.error();
  EXPECT_EQ(recorded->status, ExitStatus::exited_with(0)) << recorded->stderr_text;
  const std::string& events = recorded->stdout_text;
  const std::size_t last = events.rfind('\n', events.size() - 2);
  const auto job = nlohmann::json::parse(events.substr(last + 1), nullptr, false);
  EXPECT_EQ(job.value("imageSha256", ""), raw_digest) << events;

  auto verified =
      harness::run_child(harness::bin_path("ravik-device-client"),
                         {"verify", xz, loop_->path(), "--sha256", "@" + sums});
  ASSERT_TRUE(verified) << verified.error();
  EXPECT_EQ(verified->status, ExitStatus::exited_with(0)) << verified->stderr_text;
  EXPECT_NE(verified->stdout_text.find("Verified: target sha256 " + raw_digest),
            std::string::npos)
      << verified->stdout_text;
}

// Interrupted while it verifies, the disk holds the whole image, written but
// not verified, and the client says so. The disk's reads are slowed (blkio
// throttle) so that the verification lasts until it is interrupted.
TEST_F(ClientLoopTest, InterruptDuringVerify_SaysTheWholeImageIsWrittenUnverified) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to throttle the disk's reads";
  const std::string group =
      "/sys/fs/cgroup/blkio/ravik-client-test-" + std::to_string(::getpid());
  if (::mkdir(group.c_str(), 0755) != 0) GTEST_SKIP() << "no blkio cgroup here";
  struct RemovedGroup {
    std::string path;
    ~RemovedGroup() { ::rmdir(path.c_str()); }
  } removed_group{group};
  struct stat disk = {};
  ASSERT_EQ(::stat(loop_->path().c_str(), &disk), 0);
  std::ofstream(group + "/blkio.throttle.read_bps_device")
      << major(disk.st_rdev) << ":" << minor(disk.st_rdev) << " " << 2 * kMiB << "\n";
  image_ = testing::pattern_text(8 * kMiB);
  const std::string image = dir_.write_file("image.img", image_);
  // No protected prefix: no readback before the verification.
  auto client = harness::ChildProcess::start(
      "/bin/sh", {"-c", "echo $$ >" + group + "/cgroup.procs && exec \"$@\" 2>&1", "sh",
                  harness::bin_path("ravik-device-client"), "write", image, loop_->path(),
                  "--protected-prefix", "0", "--helper", harness::testing_helper_path(),
                  "--end", "close", "--yes"});
  ASSERT_TRUE(client) << client.error();
  std::optional<std::string> line;
  while ((line = client->read_line()) && !line->starts_with("VERIFY")) {
  }
  ASSERT_TRUE(line) << client->stderr_text();
  ASSERT_TRUE(client->send_signal(SIGINT));
  const auto rest = client->read_stdout_to_end();
  ASSERT_TRUE(rest);
  EXPECT_EQ(client->wait(), ExitStatus::exited_with(130)) << *rest;
  EXPECT_NE(
      rest->find("ravik-device-client: 8388608 bytes (8.0 MiB) reached " + loop_->path() +
                 ": it holds the whole image, written but not verified.\n"),
      std::string::npos)
      << *rest;
  EXPECT_EQ(read_prefix(loop_->backing_path(), image_.size()), image_);
}

// What the user asked to see is written in full, or the run fails: the
// summary, the helper's events and the help, each sent to a full disk.
TEST_F(ClientLoopTest, StandardOutputOnAFullDisk_FailsTheRun) {
  const std::string image = dir_.write_file("image.img", testing::pattern_text(kMiB));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"write", image, loop_->path(), "--yes"},
        {"write", image, loop_->path(), "--yes", "--json"},
        {"help", "write"}}) {
    std::vector<std::string> words = {"-c", "exec \"$@\" >/dev/full", "sh",
                                      harness::bin_path("ravik-device-client")};
    words.insert(words.end(), args.begin(), args.end());
    if (args[0] == "write") {
      words.insert(words.end(),
                   {"--helper", harness::testing_helper_path(), "--end", "close"});
    }
    auto done = harness::run_child("/bin/sh", words);
    ASSERT_TRUE(done) << done.error();
    EXPECT_EQ(done->status, ExitStatus::exited_with(1)) << args.back();
    EXPECT_TRUE(done->stderr_text.ends_with(
        "ravik-device-client: could not write standard output: No space left on device "
        "(os error 28)\n"))
        << done->stderr_text;
  }
}

// nobody may not open the disk, so only a helper sudo ran as root can have
// written it: refused while no rule allows it, written once one does.
TEST_F(ClientLoopTest, Nobody_WritesTheDiskThroughSudoOnlyWhereARuleAllowsIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to nobody and add a rule";
  auto direct =
      harness::run_child("/bin/sh", {"-c", "exec 3<>\"$1\"", "sh", loop_->path()},
                         ChildOptions().as_user(kNobody, kNobody));
  ASSERT_TRUE(direct) << direct.error();
  ASSERT_NE(direct->status, ExitStatus::exited_with(0)) << "nobody may open the disk";

  auto refused = write_as_nobody();
  ASSERT_TRUE(refused) << refused.error();
  EXPECT_EQ(refused->status, ExitStatus::exited_with(1));
  EXPECT_TRUE(refused->stderr_text.ends_with(
      "ravik-device-client: sudo did not grant the root rights a write to a disk needs "
      "(see above). Nothing was written.\n"))
      << refused->stderr_text;
  EXPECT_TRUE(disk_untouched());

  // One rule, asked once, serves the sessions of two disks.
  const SudoersRule rule(nobody_rule());
  ASSERT_EQ(rule.problem(), "");
  auto second = attach_second();
  if (!second) GTEST_SKIP() << "no second loop device";
  std::vector<std::string> args = nobody_write();
  args.push_back(second->path());
  auto written = harness::run_child("/usr/bin/setsid", args,
                                    ChildOptions().as_user(kNobody, kNobody));
  ASSERT_TRUE(written) << written.error();
  EXPECT_EQ(written->status, ExitStatus::exited_with(0)) << written->stderr_text;
  for (const LoopDevice* disk : {&*loop_, &*second}) {
    EXPECT_NE(written->stdout_text.find("Finished: " + disk->path() + " ok"),
              std::string::npos)
        << written->stdout_text;
    EXPECT_TRUE(read_prefix(disk->backing_path(), image_.size()) == image_);
  }
}

// On a terminal sudo asks for the password there, from the helper's own
// process group, which the client lends the terminal to: a background group
// reading it would be stopped, and the client would wait for ever.
TEST_F(ClientLoopTest, Nobody_OnATerminal_SudoAsksForThePasswordThere) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to nobody and add a rule";
  // nobody may run the helper, with a password it cannot know.
  const SudoersRule rule("Defaults:nobody passwd_tries=1\nnobody ALL=(root) " +
                         harness::testing_helper_path() + " \"\"");
  ASSERT_EQ(rule.problem(), "");
  std::vector<std::string> words = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                    "--clear-groups",
                                    harness::bin_path("ravik-device-client")};
  for (std::string& argument : write_arguments()) words.push_back(std::move(argument));
  // Two disks, one question: sudo is asked once, before any session.
  auto second = attach_second();
  if (!second) GTEST_SKIP() << "no second loop device";
  words.insert(words.end(), {second->path(), "--yes"});
  std::string command = "exec";
  for (const std::string& word : words) command += " '" + word + "'";
  // script(1) runs the command on a new terminal, in its foreground.
  auto done = harness::run_child("/usr/bin/script", {"-qec", command, "/dev/null"},
                                 ChildOptions::input("wrong password\n"),
                                 std::chrono::seconds(30));
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->status, ExitStatus::exited_with(1)) << done->stdout_text;
  EXPECT_NE(done->stdout_text.find("[sudo] password for nobody:"), std::string::npos)
      << done->stdout_text;
  EXPECT_NE(done->stdout_text.find("sudo: 1 incorrect password attempt"),
            std::string::npos)
      << done->stdout_text;
  EXPECT_EQ(done->stdout_text.find("[sudo] password for nobody:"),
            done->stdout_text.rfind("[sudo] password for nobody:"))
      << done->stdout_text;
  EXPECT_EQ(done->stdout_text.find("a password is required"), std::string::npos)
      << done->stdout_text;
  EXPECT_TRUE(disk_untouched());
}

// verify, like write, reaches a disk nobody may read through sudo, and
// shows its progress; a wrong published digest is called what it is.
TEST_F(ClientLoopTest, Nobody_VerifiesTheDiskThroughSudo) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to nobody and add a rule";
  auto written = client(
      {"write", dir_.write_file("image.img", testing::pattern_text(3 * kMiB), 0644),
       loop_->path()});
  ASSERT_TRUE(written && written->status == ExitStatus::exited_with(0));
  const std::string program = harness::bin_path("ravik-device-client");
  const SudoersRule rule("nobody ALL=(root) NOPASSWD: " + program);
  ASSERT_EQ(rule.problem(), "");
  const std::vector<std::string> verify = {program, "verify", dir_.file("image.img"),
                                           loop_->path()};
  auto verified = harness::run_child("/usr/bin/setsid", verify,
                                     ChildOptions().as_user(kNobody, kNobody));
  ASSERT_TRUE(verified) << verified.error();
  EXPECT_EQ(verified->status, ExitStatus::exited_with(0)) << verified->stderr_text;
  EXPECT_NE(verified->stdout_text.find(" matches (3.0 MiB)"), std::string::npos)
      << verified->stdout_text;
  EXPECT_NE(verified->stderr_text.find("VERIFY 100%"), std::string::npos)
      << verified->stderr_text;

  std::vector<std::string> wrong(verify.begin() + 1, verify.end());
  wrong.insert(wrong.end(), {"--sha256", std::string(64, 'f')});
  auto mismatch = harness::run_child(program, wrong);
  ASSERT_TRUE(mismatch) << mismatch.error();
  EXPECT_EQ(mismatch->status, ExitStatus::exited_with(1));
  EXPECT_NE(mismatch->stderr_text.find(", the published digest (--sha256) is ffff"),
            std::string::npos)
      << mismatch->stderr_text;
}

// The root helper is out of the terminal's process group and out of nobody's
// reach, but the sudo process in front of it takes the client's relayed
// interrupt and passes it on: the helper cancels and the session ends cleanly.
TEST_F(ClientLoopTest, Nobody_InterruptReachesTheHelperThroughSudo) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to nobody and add a rule";
  const SudoersRule rule(nobody_rule());
  ASSERT_EQ(rule.problem(), "");
  std::vector<std::string> args = nobody_write(16 * kMiB);
  args.push_back("--json");
  // setsid execs the client itself (the harness's child leads no group).
  auto client = harness::ChildProcess::start("/usr/bin/setsid", args,
                                             ChildOptions().as_user(kNobody, kNobody));
  ASSERT_TRUE(client) << client.error();
  const auto ready = client->read_line();
  ASSERT_TRUE(ready && ready->starts_with(R"({"event":"ready")"))
      << client->stderr_text();
  ASSERT_TRUE(client->send_signal(SIGINT));
  const auto events = client->read_stdout_to_end();
  ASSERT_TRUE(events);
  EXPECT_EQ(client->wait(), ExitStatus::exited_with(130));
  // The write or, had it just finished, the verification is what stopped;
  // an interrupt that meets the helper waiting for image bytes stops the
  // source stream instead. Either way the helper canceled.
  const std::string err = client->stderr_text();
  EXPECT_TRUE(err.find("CANCELED: The transaction was canceled.") != std::string::npos ||
              err.find("CANCELED: The source stream was canceled") != std::string::npos)
      << err;
  EXPECT_NE(events->find(R"({"event":"released")"), std::string::npos) << *events;
}

// sudo is hidden in a private mount namespace behind a node nobody may run.
TEST_F(ClientLoopTest, Nobody_WithoutSudo_IsRefusedBeforeTheHelperStarts) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  std::vector<std::string> args = {
      "--mount",
      "--propagation",
      "private",
      "/bin/sh",
      "-c",
      R"(mount --bind /dev/null /usr/bin/sudo || exit 97; exec "$@")",
      "sh",
      "/usr/bin/setpriv",
      "--reuid=65534",
      "--regid=65534",
      "--clear-groups",
      harness::bin_path("ravik-device-client")};
  for (std::string& argument : write_arguments()) args.push_back(std::move(argument));
  auto done = harness::run_child("/usr/bin/unshare", args);
  ASSERT_TRUE(done) << done.error();
  if (done->status == ExitStatus::exited_with(97)) {
    GTEST_SKIP() << "no private mount namespace here: " << done->stderr_text;
  }
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
  EXPECT_EQ(done->stderr_text,
            "ravik-device-client: The target can only be written as root, and "
            "/usr/bin/sudo, which would start the helper as root, cannot be run: "
            "Permission denied (os error 13). Run ravik-device-client as root. Nothing "
            "was written.\n");
  EXPECT_TRUE(disk_untouched());
}

}  // namespace
}  // namespace ravik
