// The helpers and the client end to end on real loop devices: the testing
// helper holds a loop device through the production code path, the
// production helper refuses it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "io/unique_fd.h"
#include "job/wire.h"
#include "support/child_process.h"
#include "support/file_probe.h"
#include "support/loop_device_fixture.h"
#include "support/pattern_bytes.h"
#include "support/sha256_hex.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

namespace fs = std::filesystem;
using harness::ExitStatus;
using nlohmann::ordered_json;
using testing::LoopDevice;
using testing::pattern_text;
using testing::run_command;
using testing::sha256_hex;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kDiskBytes = 16 * kMiB;

std::string read_file(const std::string& path, std::size_t size) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(size, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

bool is_mounted(const std::string& mount_point) {
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.find(" " + mount_point + " ") != std::string::npos) return true;
  }
  return false;
}

ordered_json header(const std::string& type) {
  return {{"type", type}, {"protocolVersion", 1}};
}

ordered_json simple(const std::string& type, const std::string& operation_id) {
  ordered_json message = header(type);
  message["operationId"] = operation_id;
  return message;
}

// One helper process speaking the device protocol over pipes.
class HelperSession {
 public:
  explicit HelperSession(const std::string& helper,
                         const std::vector<std::string>& args = {},
                         const std::vector<std::string>& environment = {}) {
    harness::ChildOptions options = harness::ChildOptions::piped();
    options.extra_environment = environment;
    auto started = harness::ChildProcess::start(helper, args, options);
    if (started) child_.emplace(std::move(*started));
  }
  bool started() const { return child_.has_value(); }

  void send(const std::string& bytes) { (void)child_->write_stdin(bytes); }
  void send(const ordered_json& message) { send(job::control_frame(message)); }

  // The next event that is not progress; an event of kind "<none>" when the
  // helper said nothing more in time.
  job::HelperEvent next_answer() {
    for (;;) {
      const auto line = child_->read_line();
      if (!line) return {"<none>", ordered_json{{"event", "<none>"}}};
      auto event = job::parse_event_line(*line);
      if (!event) return {*line, ordered_json{{"event", "<unparsable>"}}};
      if (event->kind() != "progress") return *event;
    }
  }

  void write_image(const std::string& image) {
    for (std::size_t offset = 0; offset < image.size();
         offset += job::kMaxSourcePayload) {
      send(job::data_frame(
          std::string_view(image).substr(offset, job::kMaxSourcePayload)));
    }
    send(job::end_frame());
  }

  std::optional<ExitStatus> finish() {
    child_->close_stdin();
    return child_->wait();
  }
  std::string stderr_text() const { return child_->stderr_text(); }

 private:
  std::optional<harness::ChildProcess> child_;
};

class LoopHelperTest : public ::testing::Test {
 protected:
  void attach(unsigned sector_size = 512, std::uint64_t size = kDiskBytes) {
    std::string why_not;
    auto attached =
        LoopDevice::attach(scratch_.path() + "/disk.img", size, sector_size, why_not);
    if (attached) {
      loop_.emplace(std::move(*attached));
    } else {
      unavailable_ = why_not;
    }
  }

  ordered_json target(std::uint64_t size = 0) const {
    return {{"platform", "linux"},
            {"deviceId", loop_->name()},
            {"devicePath", loop_->path()},
            {"sizeBytes", size == 0 ? loop_->size_bytes() : size}};
  }

  ordered_json open_write(const std::string& image, std::uint64_t prefix,
                          const ordered_json& target_json) const {
    ordered_json message = header("open_write");
    message["requestId"] = "req-1";
    message["sessionId"] = "ses-1";
    message["taskId"] = "task-1";
    message["target"] = target_json;
    message["source"] = {{"bytesTotal", image.size()}, {"sha256", sha256_hex(image)}};
    message["tailPolicy"] = "exact";
    message["protectedPrefixBytes"] = prefix;
    return message;
  }

  ordered_json open_format(const ordered_json& target_json) const {
    ordered_json message = header("open_format");
    message["requestId"] = "req-1";
    message["sessionId"] = "ses-1";
    message["taskId"] = "task-1";
    message["target"] = target_json;
    return message;
  }

  std::string mount_point(const std::string& name) const {
    const std::string path = scratch_.path() + "/" + name;
    fs::create_directories(path);
    return path;
  }

  const harness::TempDir scratch_{"/dev/shm"};
  std::optional<LoopDevice> loop_;
  std::string unavailable_;
};

#define ATTACH_OR_SKIP(...)                                    \
  do {                                                         \
    attach(__VA_ARGS__);                                       \
    if (!loop_) RAVIK_SKIP_WITHOUT_LOOP_DEVICES(unavailable_); \
  } while (0)

void expect_error_event(const job::HelperEvent& event, const std::string& code,
                        const std::string& message) {
  EXPECT_EQ(event.kind(), "error") << event.line;
  EXPECT_EQ(event.text("errorCode"), code) << event.line;
  EXPECT_EQ(event.text("errorMessage"), message) << event.line;
}

class LoopHelperSectorTest : public LoopHelperTest,
                             public ::testing::WithParamInterface<unsigned> {};

TEST_P(LoopHelperSectorTest, TestingHelper_WriteVerifyReadRelease) {
  ATTACH_OR_SKIP(GetParam());
  const std::string image = pattern_text(9 * kMiB, GetParam());
  HelperSession session(harness::testing_helper_path());
  ASSERT_TRUE(session.started());
  session.send(open_write(image, kMiB, target()));
  const auto ready = session.next_answer();
  ASSERT_EQ(ready.kind(), "ready") << ready.line << session.stderr_text();
  const auto& identity = ready.json["target"];
  EXPECT_EQ(identity["platform"], "linux");
  EXPECT_EQ(identity["deviceId"], loop_->name());
  EXPECT_EQ(identity["devicePath"], loop_->path());
  EXPECT_EQ(identity["sizeBytes"], kDiskBytes);
  EXPECT_EQ(identity["topologyPath"], "/sys/devices/virtual/block/" + loop_->name());
  EXPECT_EQ(identity["model"], "Linux loop device");
  EXPECT_EQ(identity["removable"], true);
  EXPECT_EQ(identity["mounted"], false);
  EXPECT_EQ(identity["wholeDevice"], true);
  EXPECT_EQ(ready.number("logicalBlockSize"), GetParam()) << ready.line;

  session.write_image(image);
  const auto written = session.next_answer();
  ASSERT_EQ(written.kind(), "written") << written.line << session.stderr_text();
  session.send([] {
    auto m = simple("verify", "v1");
    m["mode"] = "full";
    return m;
  }());
  const auto verified = session.next_answer();
  ASSERT_EQ(verified.kind(), "verifyResult") << verified.line;
  EXPECT_EQ(verified.flag("matches"), true) << verified.line;

  auto read = simple("read", "r1");
  read["offsetBytes"] = 4090;
  read["lengthBytes"] = 10;
  session.send(read);
  const auto range = session.next_answer();
  ASSERT_EQ(range.kind(), "readResult") << range.line;
  std::string decoded(16, '\0');
  const auto base64 = range.text("dataBase64").value_or("");
  const int length =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                      reinterpret_cast<const unsigned char*>(base64.data()),
                      static_cast<int>(base64.size()));
  ASSERT_GE(length, 10);
  EXPECT_EQ(decoded.substr(0, 10), image.substr(4090, 10));

  session.send(simple("release", "rel"));
  const auto released = session.next_answer();
  ASSERT_EQ(released.kind(), "released") << released.line;
  EXPECT_EQ(released.flag("safeToRemove"), true) << released.line;
  EXPECT_EQ(session.finish(), ExitStatus::exited_with(0)) << session.stderr_text();
  EXPECT_EQ(read_file(loop_->backing_path(), image.size()), image);
  EXPECT_FALSE(loop_->attached_to_backing_file())
      << "release left the loop device attached";
}

TEST_P(LoopHelperSectorTest, Client_WritesVerifiesAndReleasesTheLoopDevice) {
  ATTACH_OR_SKIP(GetParam());
  const std::string image = pattern_text(9 * kMiB, 100 + GetParam());
  const std::string image_path = scratch_.path() + "/image.img";
  std::ofstream(image_path, std::ios::binary) << image;
  auto done = harness::run_child(
      harness::bin_path("ravik-device-client"),
      {"write", image_path, loop_->path(), "--helper", harness::testing_helper_path(),
       "--protected-prefix", std::to_string(kMiB), "--yes"});
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->status, ExitStatus::exited_with(0)) << done->stderr_text;
  EXPECT_NE(done->stdout_text.find("block device"), std::string::npos)
      << done->stdout_text;
  EXPECT_NE(done->stdout_text.find("read back by the helper"), std::string::npos)
      << done->stdout_text;
  EXPECT_NE(done->stdout_text.find("Released: safe to remove"), std::string::npos)
      << done->stdout_text;
  EXPECT_EQ(read_file(loop_->backing_path(), image.size()), image);
  EXPECT_FALSE(loop_->attached_to_backing_file())
      << "release left the loop device attached";
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, LoopHelperSectorTest,
                         ::testing::Values(512u, 4096u));

// The client writing one image to several loop devices at once, one helper
// session each.
class LoopMultiWriteTest : public LoopHelperTest {
 protected:
  void attach_disks(std::size_t count) {
    disks_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      std::string why_not;
      auto disk = LoopDevice::attach(scratch_.file("disk" + std::to_string(i) + ".img"),
                                     64 * kMiB, 512, why_not);
      if (!disk) {
        unavailable_ = why_not;
        return;
      }
      disks_.push_back(std::move(*disk));
    }
  }

  // `write IMAGE DISK...` with the image's published digest.
  std::vector<std::string> write_args(const std::string& image) {
    const std::string image_path = scratch_.file("image.img");
    std::ofstream(image_path, std::ios::binary) << image;
    std::vector<std::string> args = {"write", image_path};
    for (const LoopDevice& disk : disks_) args.push_back(disk.path());
    args.insert(args.end(), {"--sha256", sha256_hex(image), "--helper",
                             harness::testing_helper_path(), "--yes"});
    return args;
  }

  // The final table's row of `disk`.
  static std::string row_of(const std::string& table, const LoopDevice& disk) {
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with(disk.path() + " ")) return line;
    }
    return "(no row for " + disk.path() + ")";
  }

  void expect_written_and_verified(const std::string& table, const std::string& image,
                                   const LoopDevice& disk) {
    const std::string row = row_of(table, disk);
    EXPECT_NE(row.find(" ok "), std::string::npos) << row;
    EXPECT_NE(row.find(" 24.0 MiB "), std::string::npos) << row;
    EXPECT_TRUE(row.ends_with(" yes")) << row;
    EXPECT_TRUE(read_file(disk.backing_path(), image.size()) == image) << disk.path();
    EXPECT_FALSE(disk.attached_to_backing_file()) << disk.path() << " was not released";
  }

  std::vector<LoopDevice> disks_;
};

#define ATTACH_DISKS_OR_SKIP(count)                                             \
  do {                                                                          \
    attach_disks(count);                                                        \
    if (disks_.size() < (count)) RAVIK_SKIP_WITHOUT_LOOP_DEVICES(unavailable_); \
  } while (0)

TEST_F(LoopMultiWriteTest, FourDisks_WrittenAtOnce_EachVerified) {
  ATTACH_DISKS_OR_SKIP(4u);
  const std::string image = pattern_text(24 * kMiB, 41);
  auto done =
      harness::run_child(harness::bin_path("ravik-device-client"), write_args(image));
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->status, ExitStatus::exited_with(0)) << done->stderr_text;
  EXPECT_NE(done->stdout_text.find("TARGET"), std::string::npos) << done->stdout_text;
  for (const LoopDevice& disk : disks_) {
    expect_written_and_verified(done->stdout_text, image, disk);
    // Not a terminal: plain progress lines, each headed by its disk.
    EXPECT_NE(done->stderr_text.find(disk.path() + ": VERIFY 100%"), std::string::npos)
        << done->stderr_text;
  }
}

// A loop device cannot be pulled: losetup -d on a held device only marks it
// for detaching once closed, and a deleted backing file stays open. Shrinking
// it under the helper does what a pulled stick does: its writes fail.
TEST_F(LoopMultiWriteTest, OneDiskShrunkWhileWriting_FailsAloneAndTheJobFails) {
  ATTACH_DISKS_OR_SKIP(4u);
  const std::string image = pattern_text(24 * kMiB, 43);
  auto client = harness::ChildProcess::start(harness::bin_path("ravik-device-client"),
                                             write_args(image));
  ASSERT_TRUE(client) << client.error();
  const LoopDevice& pulled = disks_[2];
  const auto give_up = std::chrono::steady_clock::now() + harness::kDefaultTimeout;
  while (client->stderr_text().find(pulled.path() + ": WRITE") == std::string::npos &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(::truncate(pulled.backing_path().c_str(), 4 * kMiB), 0);
  const auto resized = run_command({"losetup", "-c", pulled.path()});
  ASSERT_EQ(resized.exit_code, 0) << resized.output;

  const auto status = client->wait();
  const std::string table = client->read_stdout_to_end().value_or("");
  EXPECT_EQ(status, ExitStatus::exited_with(1)) << client->stderr_text();
  EXPECT_NE(row_of(table, pulled).find(" FAILED "), std::string::npos) << table;
  EXPECT_NE(
      client->stderr_text().find("ravik-device-client: failed: " + pulled.path() + ": "),
      std::string::npos)
      << client->stderr_text();
  for (const LoopDevice& disk : disks_) {
    if (&disk != &pulled) expect_written_and_verified(table, image, disk);
  }
}

TEST_F(LoopHelperTest, HeldLoopDevice_NoOtherDiskNorFileReachableAfterTheWrite) {
  if (const char* why = testing::why_file_layers_are_not_seen()) GTEST_SKIP() << why;
  ATTACH_OR_SKIP();
  std::string why_not;
  auto other = LoopDevice::attach(scratch_.path() + "/other.img", kMiB, 512, why_not);
  if (!other) RAVIK_SKIP_WITHOUT_LOOP_DEVICES(why_not);
  const testing::FileProbe probe;
  const std::string image = pattern_text(2 * kMiB, 7);
  HelperSession session(harness::testing_helper_path(), {},
                        probe.environment(other->path()));
  ASSERT_TRUE(session.started());
  session.send(open_write(image, 0, target()));
  const auto ready = session.next_answer();
  ASSERT_EQ(ready.kind(), "ready") << ready.line << session.stderr_text();
  session.write_image(image);
  const auto written = session.next_answer();
  ASSERT_EQ(written.kind(), "written") << written.line << session.stderr_text();
  session.send([] {
    auto m = simple("verify", "v1");
    m["mode"] = "full";
    return m;
  }());
  const auto verified = session.next_answer();
  EXPECT_EQ(verified.flag("matches"), true) << verified.line;
  session.send(simple("release", "rel"));
  const auto released = session.next_answer();
  EXPECT_EQ(released.flag("safeToRemove"), true) << released.line;
  EXPECT_EQ(session.finish(), ExitStatus::exited_with(0));
  EXPECT_EQ(session.stderr_text(), testing::FileProbe::refused_line(true, true));
  EXPECT_EQ(read_file(other->backing_path(), 16), std::string(16, '\0'));
}

TEST_F(LoopHelperTest, ProductionHelper_RefusesALoopDevice) {
  ATTACH_OR_SKIP();
  // The production helper's maintenance lock must exist before it opens any
  // disk; provisioning is idempotent.
  auto provisioned =
      harness::run_child(harness::production_helper_path(), {"--maintenance-provision"});
  ASSERT_TRUE(provisioned && provisioned->status == ExitStatus::exited_with(0));
  constexpr std::string_view kRefusal =
      "sysfs could not prove the target is a writable removable whole device.";

  HelperSession session(harness::production_helper_path());
  ASSERT_TRUE(session.started());
  session.send(open_format(target()));
  expect_error_event(session.next_answer(), "DEVICE_NOT_REMOVABLE",
                     std::string(kRefusal));
  EXPECT_EQ(session.finish(), ExitStatus::exited_with(1));
  EXPECT_EQ(session.stderr_text(),
            "DEVICE_NOT_REMOVABLE: " + std::string(kRefusal) + "\n");

  // The client picks the production helper for a block device by itself,
  // and knows before it asks or reads the image that it would be refused.
  const std::string image_path = scratch_.path() + "/image.img";
  std::ofstream(image_path, std::ios::binary) << pattern_text(kMiB, 3);
  auto done = harness::run_child(harness::bin_path("ravik-device-client"),
                                 {"write", image_path, loop_->path()});
  ASSERT_TRUE(done) << done.error();
  EXPECT_EQ(done->status, ExitStatus::exited_with(1));
  EXPECT_EQ(done->stderr_text, "ravik-device-client: " + loop_->path() +
                                   " is a loop device, which only the testing helper "
                                   "takes (--helper). Nothing was written.\n");
  EXPECT_TRUE(loop_->attached_to_backing_file());
}

TEST_F(LoopHelperTest, SecondHelperOnTheHeldDisk_IsRefused) {
  ATTACH_OR_SKIP();
  const auto made = run_command({"mkfs.ext4", "-q", "-F", loop_->path()});
  ASSERT_EQ(made.exit_code, 0) << made.output;
  HelperSession first(harness::testing_helper_path());
  first.send(open_format(target()));
  ASSERT_EQ(first.next_answer().kind(), "ready") << first.stderr_text();

  HelperSession second(harness::testing_helper_path());
  second.send(open_format(target()));
  expect_error_event(
      second.next_answer(), "DEVICE_NOT_REMOVABLE",
      "Could not exclusively open the selected disk: Device or resource busy "
      "(os error 16)");
  EXPECT_EQ(second.finish(), ExitStatus::exited_with(1));
  // Nor may anything mount the held disk.
  const auto mounted =
      run_command({"mount", "-t", "ext4", loop_->path(), mount_point("m")});
  EXPECT_NE(mounted.exit_code, 0) << mounted.output;

  // A format-only session ends with eject, which detaches the loop device.
  first.send(simple("eject", "end"));
  const auto ejected = first.next_answer();
  EXPECT_EQ(ejected.kind(), "result") << ejected.line;
  EXPECT_EQ(ejected.flag("safeToRemove"), true) << ejected.line;
  EXPECT_EQ(first.finish(), ExitStatus::exited_with(0));
  EXPECT_FALSE(loop_->attached_to_backing_file());
}

TEST_F(LoopHelperTest, Verify_ReadsTheMediumNotThePageCache) {
  ATTACH_OR_SKIP();
  const std::string image = pattern_text(4 * kMiB, 9);
  HelperSession session(harness::testing_helper_path());
  session.send(open_write(image, 0, target()));
  ASSERT_EQ(session.next_answer().kind(), "ready") << session.stderr_text();
  session.write_image(image);
  ASSERT_EQ(session.next_answer().kind(), "written") << session.stderr_text();

  // One byte changed in the backing file, behind the helper's back.
  {
    UniqueFd backing(::open(loop_->backing_path().c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(backing.valid());
    const char changed = static_cast<char>(~image[123457]);
    ASSERT_EQ(::pwrite(backing.get(), &changed, 1, 123457), 1);
  }
  auto verify = simple("verify", "v1");
  verify["mode"] = "full";
  session.send(verify);
  const auto result = session.next_answer();
  ASSERT_EQ(result.kind(), "verifyResult") << result.line;
  EXPECT_EQ(result.flag("matches"), false) << result.line;
}

TEST_F(LoopHelperTest, DiskChangedBehindTheHelper_NextCommandIsDisconnected) {
  ATTACH_OR_SKIP();
  const std::string image = pattern_text(4 * kMiB, 11);
  HelperSession session(harness::testing_helper_path());
  session.send(open_write(image, 0, target()));
  ASSERT_EQ(session.next_answer().kind(), "ready") << session.stderr_text();
  session.write_image(image);
  ASSERT_EQ(session.next_answer().kind(), "written") << session.stderr_text();

  ASSERT_EQ(::truncate(loop_->backing_path().c_str(), 2 * kDiskBytes), 0);
  const auto resized = run_command({"losetup", "-c", loop_->path()});
  ASSERT_EQ(resized.exit_code, 0) << resized.output;
  auto verify = simple("verify", "v1");
  verify["mode"] = "full";
  session.send(verify);
  const auto answer = session.next_answer();
  expect_error_event(answer, "DEVICE_DISCONNECTED",
                     "sysfs identity changed while the target was held.");
}

// The medium fails the write (its backing store is full), the helper says
// why, and the application then ends the session by closing its input: the
// helper ends without a further word, as after any answered failure.
TEST_F(LoopHelperTest, InputClosedAfterAFailedWrite_HelperEndsQuietly) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
  const std::string small = mount_point("small");
  const auto mounted =
      run_command({"mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", small});
  if (mounted.exit_code != 0) GTEST_SKIP() << "no tmpfs mount: " << mounted.output;
  struct Unmounted {
    std::string path;
    ~Unmounted() { (void)run_command({"umount", path}); }
  } unmounted{small};
  std::string why_not;
  // Destroyed before the mount goes.
  std::optional<LoopDevice> disk =
      LoopDevice::attach(small + "/disk.img", kDiskBytes, 512, why_not);
  if (!disk) RAVIK_SKIP_WITHOUT_LOOP_DEVICES(why_not);
  const std::string image = pattern_text(8 * kMiB, 21);
  HelperSession session(harness::testing_helper_path());
  session.send(open_write(image, 0,
                          {{"platform", "linux"},
                           {"deviceId", disk->name()},
                           {"devicePath", disk->path()},
                           {"sizeBytes", kDiskBytes}}));
  ASSERT_EQ(session.next_answer().kind(), "ready") << session.stderr_text();
  // The image frames, then the abort frame a client sends once it heard of
  // the failure.
  for (std::size_t offset = 0; offset < image.size();
       offset += job::kMaxSourcePayload) {
    session.send(job::data_frame(
        std::string_view(image).substr(offset, job::kMaxSourcePayload)));
  }
  session.send(job::abort_frame());
  const auto failed = session.next_answer();
  EXPECT_EQ(failed.kind(), "error") << failed.line;
  EXPECT_EQ(failed.text("errorCode"), "WRITE_FAILED") << failed.line;
  EXPECT_EQ(session.next_answer().kind(), "sourceAborted");
  EXPECT_EQ(session.finish(), ExitStatus::exited_with(0));
  EXPECT_EQ(session.stderr_text(), "");
  EXPECT_EQ(session.next_answer().kind(), "<none>");
}

TEST_F(LoopHelperTest, TargetsThatDoNotMatchTheDisk_AreRefusedWithTheirMessages) {
  ATTACH_OR_SKIP();
  const auto table = run_command(
      {"sh", "-c",
       "printf 'start=2048, size=8192, type=83\\n' | sfdisk -q " + loop_->path()});
  ASSERT_EQ(table.exit_code, 0) << table.output;
  const auto added = run_command({"partx", "-a", loop_->path()});
  ASSERT_EQ(added.exit_code, 0) << added.output;

  const std::string form =
      "Linux targets must be a whole-disk /dev/NAME block device matching deviceId NAME.";
  struct Case {
    std::string name;
    ordered_json target;
    std::string code;
    std::string message;
  };
  std::vector<Case> cases;
  auto partition = target();
  partition["deviceId"] = loop_->name() + "p1";
  partition["devicePath"] = loop_->path() + "p1";
  cases.push_back({"partition", partition, "DEVICE_NOT_REMOVABLE", form});
  auto other_path = target();
  other_path["devicePath"] = "/dev/disk/by-id/" + loop_->name();
  cases.push_back({"path", other_path, "DEVICE_NOT_REMOVABLE", form});
  auto dotted = target();
  dotted["devicePath"] = "/dev/../dev/" + loop_->name();
  cases.push_back({"dots", dotted, "DEVICE_NOT_REMOVABLE", form});
  auto model = target();
  model["model"] = "SanDisk Cruzer";
  cases.push_back({"model", model, "DEVICE_NOT_REMOVABLE",
                   "The target model changed after selection."});
  cases.push_back({"size", target(kDiskBytes - 4096), "DEVICE_NOT_REMOVABLE",
                   "sysfs identity or capacity changed after selection."});
  auto topology = target();
  topology["topologyPath"] = "/sys/devices/virtual/block/loop999";
  cases.push_back({"topology", topology, "DEVICE_NOT_REMOVABLE",
                   "The target hardware topology changed after selection."});
  auto missing = target();
  missing["deviceId"] = "ravikmissing0";
  missing["devicePath"] = "/dev/ravikmissing0";
  cases.push_back({"missing", missing, "DEVICE_DISCONNECTED",
                   "sysfs could not resolve the selected whole disk."});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HelperSession session(harness::testing_helper_path());
    session.send(open_format(c.target));
    expect_error_event(session.next_answer(), c.code, c.message);
    EXPECT_EQ(session.finish(), ExitStatus::exited_with(1));
  }
}

TEST_F(LoopHelperTest, MountedFileSystem_IsUnmountedWhenTheHelperOpensTheDisk) {
  ATTACH_OR_SKIP();
  const auto made = run_command({"mkfs.ext4", "-q", "-F", loop_->path()});
  ASSERT_EQ(made.exit_code, 0) << made.output;
  const std::string on_disk = mount_point("mnt");
  const auto mounted = run_command({"mount", "-t", "ext4", loop_->path(), on_disk});
  ASSERT_EQ(mounted.exit_code, 0) << mounted.output;
  HelperSession session(harness::testing_helper_path());
  session.send(open_format(target()));
  const auto ready = session.next_answer();
  if (ready.kind() != "ready") (void)run_command({"umount", on_disk});
  ASSERT_EQ(ready.kind(), "ready") << ready.line;
  EXPECT_FALSE(is_mounted(on_disk));
  // A format-only session ends with eject, which detaches the loop device.
  session.send(simple("eject", "end"));
  const auto ejected = session.next_answer();
  EXPECT_EQ(ejected.kind(), "result") << ejected.line;
  EXPECT_EQ(ejected.flag("safeToRemove"), true) << ejected.line;
  EXPECT_EQ(session.finish(), ExitStatus::exited_with(0));
}

// Runs `undo` when the scope ends, so that what a test did to the system is
// undone whatever its outcome.
class Undo {
 public:
  explicit Undo(std::vector<std::string> argv) : argv_(std::move(argv)) {}
  Undo(const Undo&) = delete;
  Undo& operator=(const Undo&) = delete;
  ~Undo() { (void)run_command(argv_); }

 private:
  std::vector<std::string> argv_;
};

TEST_F(LoopHelperTest, DiskHoldingActiveSwap_IsRefusedBeforeAnythingIsUnmounted) {
  ATTACH_OR_SKIP();
  const auto table = run_command(
      {"sh", "-c",
       "printf 'start=2048, size=8192\\nstart=10240, type=83\\n' | sfdisk -q " +
           loop_->path()});
  ASSERT_EQ(table.exit_code, 0) << table.output;
  ASSERT_EQ(run_command({"partx", "-a", loop_->path()}).exit_code, 0);
  const std::string swap = loop_->path() + "p1";
  const std::string data = loop_->path() + "p2";
  ASSERT_EQ(run_command({"mkswap", swap}).exit_code, 0);
  ASSERT_EQ(run_command({"mkfs.ext4", "-q", "-F", data}).exit_code, 0);
  const std::string on_disk = mount_point("data");
  ASSERT_EQ(run_command({"mount", "-t", "ext4", data, on_disk}).exit_code, 0);
  const Undo unmount({"umount", on_disk});
  const auto swapped = run_command({"swapon", swap});
  if (swapped.exit_code != 0) GTEST_SKIP() << "swapon is unavailable: " << swapped.output;
  const Undo swapoff({"swapoff", swap});

  HelperSession session(harness::testing_helper_path());
  session.send(open_format(target()));
  expect_error_event(session.next_answer(), "DEVICE_NOT_REMOVABLE",
                     "The selected disk holds an active swap area (" + swap + ").");
  EXPECT_EQ(session.finish(), ExitStatus::exited_with(1));
  EXPECT_TRUE(is_mounted(on_disk));
}

TEST_F(LoopHelperTest, DiskUnderADeviceMapperTarget_IsRefused) {
  ATTACH_OR_SKIP();
  const std::string name = "ravik-e2e-" + std::to_string(::getpid());
  const auto created = run_command(
      {"dmsetup", "create", name, "--table",
       "0 " + std::to_string(kDiskBytes / 512) + " linear " + loop_->path() + " 0"});
  if (created.exit_code != 0) {
    GTEST_SKIP() << "the kernel offers no device mapper here: " << created.output;
  }
  const Undo remove({"dmsetup", "remove", name});
  HelperSession session(harness::testing_helper_path());
  session.send(open_format(target()));
  const auto answer = session.next_answer();
  EXPECT_EQ(answer.text("errorCode"), "DEVICE_NOT_REMOVABLE") << answer.line;
  EXPECT_TRUE(answer.text("errorMessage")
                  .value_or("")
                  .starts_with("The selected disk is in use by dm-"))
      << answer.line;
  EXPECT_EQ(session.finish(), ExitStatus::exited_with(1));
}

TEST_F(LoopHelperTest, ForeignMountNamedLikeTheDisk_IsNotUnmounted) {
  ATTACH_OR_SKIP();
  // In a private mount namespace, a tmpfs that calls itself the selected disk,
  // holding a file that the shell shows once the helper has ended.
  const std::string decoy = mount_point("decoy");
  const std::string script =
      "mount -t tmpfs \"$1\" \"$2\" && echo kept > \"$2/file\" || exit 9; "
      "\"$3\"; status=$?; cat \"$2/file\"; exit $status";
  HelperSession session("/usr/bin/unshare",
                        {"--mount", "--propagation", "private", "sh", "-c", script, "sh",
                         loop_->path(), decoy, harness::testing_helper_path()});
  ASSERT_TRUE(session.started());
  session.send(open_format(target()));
  const auto ready = session.next_answer();
  ASSERT_EQ(ready.kind(), "ready") << ready.line << session.stderr_text();
  session.send(simple("eject", "end"));
  EXPECT_EQ(session.next_answer().kind(), "result");
  EXPECT_EQ(session.next_answer().line, "kept") << session.stderr_text();
  EXPECT_EQ(session.finish(), ExitStatus::exited_with(0)) << session.stderr_text();
}

}  // namespace
}  // namespace ravik
