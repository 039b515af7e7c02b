// The boot session and FAT32 recovery end to end: the testing helper over
// pipes on regular-file targets laid out by sfdisk and mkfs.fat, the results
// read back by mtools and checked by fsck.fat.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "job/messages.h"
#include "job/wire.h"
#include "protocol/base64.h"
#include "session_driver.h"
#include "support/loop_device_fixture.h"

namespace ravik::session_test {
namespace {

using harness::ExitStatus;
using job::boot_read_file_message;
using job::boot_write_file_message;
using job::control_frame;
using job::open_boot_message;
using job::recover_message;
using job::simple_message;
using testing::run_command;

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string file_head(const std::string& path, std::size_t length,
                      std::uint64_t offset = 0) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::string bytes(length, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(length));
  return bytes;
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string b64(const std::string& text) {
  return base64_encode({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

// Runs a tool and fails the test unless it succeeds; returns its output.
std::string run_ok(const std::vector<std::string>& argv) {
  const testing::CommandResult result = run_command(argv);
  EXPECT_EQ(result.exit_code, 0) << argv[0] << ": " << result.output;
  return result.output;
}

// An image of `size` bytes whose partition 1 (from 1 MiB to the end) is a
// FAT16 volume holding config.txt, stored by mtools under a short name.
std::string fat_image(const std::string& dir, std::uint64_t size, bool gpt) {
  const std::string path = dir + "/image.img";
  run_ok({"truncate", "-s", std::to_string(size), path});
  const std::string script = dir + "/layout.sfdisk";
  write_bytes(script, gpt ? "label: gpt\nstart=2048, size=" +
                                std::to_string(size / 512 - 2048 - 40) + ", type=U\n"
                          : "label: dos\nstart=2048, type=c\n");
  run_ok({"sh", "-c", "sfdisk -q " + path + " < " + script});
  const std::uint64_t sectors = gpt ? size / 512 - 2048 - 40 : size / 512 - 2048;
  run_ok({"mkfs.fat", "-F", "16", "--offset", "2048", path, std::to_string(sectors / 2)});
  write_bytes(dir + "/config.txt", "# original configuration\nkernel=old\n");
  run_ok({"mcopy", "-i", path + "@@1M", dir + "/config.txt", "::config.txt"});
  return file_bytes(path);
}

std::string answer_line(const std::string& event, const std::string& id,
                        const std::string& rest) {
  return header(event) + R"(,"operationId":")" + id + "\"" + rest + "}";
}

std::string boot_written_line(const std::string& id, const std::string& name,
                              std::size_t bytes) {
  return answer_line("bootFileWritten", id,
                     R"(,"relativePath":")" + name + R"(","bytesWritten":)" +
                         std::to_string(bytes) + R"(,"flushCompleted":true)");
}

// The error event of a refused command in a session whose image write
// reached `high_water`; protocol errors travel as UNKNOWN.
std::string refused(const std::string& id, std::string code, const std::string& message,
                    std::uint64_t high_water) {
  if (code == "PROTOCOL_ERROR") code = "UNKNOWN";
  return error_line(id, code, message, high_water, true);
}

class BootSessionTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { setenv("MTOOLS_SKIP_CHECK", "1", 1); }
  harness::TempDir dir_;
};

TEST_P(BootSessionTest, WrittenImage_FilesReadReplacedAndAdded_ToolsAgree) {
  constexpr std::uint64_t kSize = 16 * kMiB;
  SessionDriver driver(fat_image(dir_.path(), kSize, GetParam()), kSize);
  driver.open_and_write();

  driver.send(control_frame(open_boot_message("ob", 1)));
  EXPECT_EQ(driver.next_line(),
            answer_line("bootOpened", "ob", R"(,"partitionNumber":1)"));
  // mtools stored CONFIG.TXT; the lookup ignores case.
  driver.send(control_frame(boot_read_file_message("r1", "config.txt")));
  EXPECT_EQ(driver.next_line(),
            answer_line("bootFile", "r1",
                        R"(,"relativePath":"config.txt","exists":true,"dataBase64":")" +
                            b64("# original configuration\nkernel=old\n") + "\""));
  driver.send(control_frame(boot_read_file_message("r2", "missing.txt")));
  EXPECT_EQ(
      driver.next_line(),
      answer_line("bootFile", "r2", R"(,"relativePath":"missing.txt","exists":false)"));

  driver.send(
      control_frame(boot_write_file_message("w1", "config.txt", b64("kernel=new\n"))));
  EXPECT_EQ(driver.next_line(), boot_written_line("w1", "config.txt", 11));
  std::string big(100'000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<char>(i * 7 + i / 251);
  const std::string long_name = "first-boot-user-data.json";
  driver.send(control_frame(boot_write_file_message("w2", long_name, b64(big))));
  EXPECT_EQ(driver.next_line(), boot_written_line("w2", long_name, big.size()));

  // The disk may not leave while the boot session is open.
  constexpr const char* kCloseFirst =
      "Close the boot session before ejecting the target.";
  driver.send(control_frame(simple_message("eject", "e1")));
  EXPECT_EQ(driver.next_line(), refused("e1", "SAFE_RELEASE_FAILED", kCloseFirst, kSize));
  driver.send(control_frame(simple_message("release", "x1")));
  EXPECT_EQ(driver.next_line(),
            refused("x1", "SAFE_RELEASE_FAILED",
                    std::string("Could not prepare the exact held target for release: ") +
                        kCloseFirst,
                    kSize));
  driver.send(control_frame(simple_message("closeBoot", "c1")));
  EXPECT_EQ(
      driver.next_line(),
      answer_line("bootClosed", "c1", R"(,"flushCompleted":true,"unmounted":true)"));
  driver.send(control_frame(simple_message("closeBoot", "c2")));
  EXPECT_EQ(driver.next_line(),
            refused("c2", "PROTOCOL_ERROR", "The boot partition is not open.", kSize));
  driver.send(control_frame(simple_message("close", "end")));
  EXPECT_EQ(
      driver.next_line(),
      answer_line("closed", "end",
                  R"(,"flushCompleted":true,"bootUnmounted":true,"safeToRemove":false)"));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));

  const std::string target = driver.target_path() + "@@1M";
  EXPECT_EQ(run_ok({"mtype", "-i", target, "::CONFIG.TXT"}), "kernel=new\n");
  run_ok({"mcopy", "-n", "-i", target, "::" + long_name, dir_.path() + "/out.bin"});
  EXPECT_EQ(file_bytes(dir_.path() + "/out.bin"), big);
  const std::string partition = file_bytes(driver.target_path()).substr(kMiB);
  write_bytes(dir_.path() + "/partition.img", partition);
  run_ok({"fsck.fat", "-n", dir_.path() + "/partition.img"});
}

INSTANTIATE_TEST_SUITE_P(MbrAndGpt, BootSessionTest, ::testing::Values(false, true),
                         [](const auto& param_info) {
                           return param_info.param ? "Gpt" : "Mbr";
                         });

TEST_F(BootSessionTest, SessionRules_BoundsEncodingAndOperationIds) {
  constexpr std::uint64_t kSize = 16 * kMiB;
  SessionDriver driver(fat_image(dir_.path(), kSize, false), kSize);
  driver.open_and_write();
  driver.send(control_frame(open_boot_message("p2", 2)));
  EXPECT_EQ(driver.next_line(), refused("p2", "PROTOCOL_ERROR",
                                        "Only boot partition 1 is supported.", kSize));
  driver.send(control_frame(boot_read_file_message("early", "config.txt")));
  EXPECT_EQ(driver.next_line(),
            refused("early", "PROTOCOL_ERROR", "The boot partition is not open.", kSize));
  driver.send(control_frame(open_boot_message("ob", 1)));
  driver.next_line();
  driver.send(control_frame(open_boot_message("ob2", 1)));
  EXPECT_EQ(driver.next_line(), refused("ob2", "PROTOCOL_ERROR",
                                        "The boot partition is already open.", kSize));

  const std::string mib(kMiB, 'x');
  const std::string encoded = b64(mib);
  ASSERT_EQ(encoded.size(), 1'398'104U);
  driver.send(control_frame(boot_write_file_message("w1", "big.bin", encoded + "A")));
  EXPECT_EQ(driver.next_line(),
            refused("w1", "PROTOCOL_ERROR", "Encoded boot file exceeds the 1 MiB bound.",
                    kSize));
  driver.send(control_frame(
      boot_write_file_message("w2", "big.bin", std::string(1'398'104, 'A'))));
  EXPECT_EQ(driver.next_line(),
            refused("w2", "PROTOCOL_ERROR",
                    "Boot file exceeds bounds or is not canonical base64.", kSize));
  for (const char* text : {"QQ", "QR==", "QQ==\n"}) {
    driver.send(control_frame(boot_write_file_message("bad", "x.txt", text)));
    EXPECT_EQ(driver.next_line(),
              text == std::string("QQ")
                  ? refused("bad", "PROTOCOL_ERROR", "Boot file is not canonical base64.",
                            kSize)
                  : refused("bad", "PROTOCOL_ERROR",
                            "operationId was already used in this transaction.", kSize))
        << text;
  }
  driver.send(control_frame(boot_write_file_message("w3", "big.bin", encoded)));
  EXPECT_EQ(driver.next_line(), boot_written_line("w3", "big.bin", kMiB));
  driver.send(control_frame(boot_read_file_message("r1", "BIG.BIN")));
  EXPECT_EQ(driver.next_line(),
            answer_line("bootFile", "r1",
                        R"(,"relativePath":"BIG.BIN","exists":true,"dataBase64":")" +
                            encoded + "\""));
  // Recovery ends the boot session, even one refused for the disk's size.
  driver.send(control_frame(recover_message("rec", "RAVIK")));
  EXPECT_EQ(driver.next_line(),
            refused("rec", "DEVICE_TOO_SMALL",
                    "The held target is too small for safe FAT32 recovery.", kSize));
  driver.send(control_frame(boot_read_file_message("r2", "big.bin")));
  EXPECT_EQ(driver.next_line(),
            refused("r2", "PROTOCOL_ERROR", "The boot partition is not open.", kSize));
  driver.send(control_frame(simple_message("release", "end")));
  EXPECT_TRUE(driver.next_line().starts_with(header("released")));
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
}

// --- Recovery -------------------------------------------------------------------

std::string recovery_mbr(std::uint32_t sectors) {
  std::string mbr(512, '\0');
  const std::string entry = {'\x00', '\xFE', '\xFF', '\xFF', '\x0C', '\xFE',
                             '\xFF', '\xFF', '\x00', '\x08', '\x00', '\x00'};
  mbr.replace(446, entry.size(), entry);
  for (int i = 0; i < 4; ++i) mbr[458 + i] = static_cast<char>(sectors >> (8 * i));
  mbr[510] = '\x55';
  mbr[511] = '\xAA';
  return mbr;
}

TEST_F(BootSessionTest, Recover_GptDisk_BecomesOneFat32PartitionTheToolsRead) {
  constexpr std::uint64_t kSize = 64 * kMiB;
  // The written image is a GPT disk: a primary table in the first MiB, the
  // backup in the last.
  const std::string gpt = dir_.path() + "/gpt.img";
  run_ok({"truncate", "-s", std::to_string(kSize), gpt});
  run_ok({"sh", "-c",
          "echo 'label: gpt\nstart=2048, size=8192, type=U' | sfdisk -q " + gpt});
  ASSERT_NE(file_bytes(gpt).substr(kSize - 512, 8), std::string(8, '\0'));
  SessionDriver driver(file_bytes(gpt), kSize);
  driver.open_and_write();
  driver.send(control_frame(open_boot_message("ob0", 1)));
  EXPECT_EQ(driver.next_line(),
            answer_line("bootOpened", "ob0", R"(,"partitionNumber":1)"));
  driver.send(control_frame(recover_message("rec", "MY DISK")));
  EXPECT_EQ(
      driver.next_line(),
      answer_line(
          "recoveryResult", "rec",
          R"(,"recovered":true,"filesystem":"fat32","volumeLabel":"MY DISK","flushCompleted":true)"));
  const std::string disk = file_bytes(driver.target_path());
  driver.send(control_frame(boot_read_file_message("r", "hello.txt")));
  EXPECT_EQ(driver.next_line(),
            refused("r", "PROTOCOL_ERROR", "The boot partition is not open.", kSize));
  // The boot session finds exactly the new partition and keeps a file in it.
  driver.send(control_frame(open_boot_message("ob", 1)));
  EXPECT_EQ(driver.next_line(),
            answer_line("bootOpened", "ob", R"(,"partitionNumber":1)"));
  driver.send(control_frame(boot_write_file_message("w", "hello.txt", b64("hi\n"))));
  EXPECT_EQ(driver.next_line(), boot_written_line("w", "hello.txt", 3));
  driver.send(control_frame(simple_message("close", "end")));
  driver.next_line();
  EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));

  const std::uint32_t sectors = kSize / 512 - 2048;
  EXPECT_EQ(disk.substr(0, 512), recovery_mbr(sectors));
  EXPECT_EQ(disk.substr(512, kMiB - 512), std::string(kMiB - 512, '\0'));
  EXPECT_EQ(disk.substr(kSize - kMiB), std::string(kMiB, '\0'));
  const std::string target = driver.target_path() + "@@1M";
  EXPECT_NE(run_ok({"mlabel", "-s", "-i", target, "::"}).find("MY DISK"),
            std::string::npos);
  EXPECT_EQ(run_ok({"mtype", "-i", target, "::hello.txt"}), "hi\n");
  EXPECT_EQ(run_ok({"sfdisk", "--dump", driver.target_path()}).find("gpt"),
            std::string::npos);
  write_bytes(dir_.path() + "/partition.img",
              file_bytes(driver.target_path()).substr(kMiB));
  run_ok({"fsck.fat", "-n", dir_.path() + "/partition.img"});
}

// Sizes refused before anything is written: the target keeps its bytes.
TEST_F(BootSessionTest, Recover_RefusedSizes_TargetUntouched) {
  struct Case {
    std::uint64_t size;
    std::string code;
    std::string message;
  };
  const std::string too_small = "The held target is too small for safe FAT32 recovery.";
  const std::vector<Case> cases = {
      {34'603'007, "DEVICE_TOO_SMALL", too_small},
      // Above the size rule, but no FAT32 layout fits its partition.
      {34'603'008, "DEVICE_TOO_SMALL", too_small},
      {35'138'047, "DEVICE_TOO_SMALL", too_small},
      {((std::uint64_t{1} << 32) + 2048) * 512, "TOOL_MISSING",
       "Safe recovery of targets larger than the MBR sector limit is not supported."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    SessionDriver driver(std::string(), c.size);
    run_ok({"sh", "-c", "echo 'label: gpt' | sfdisk -q " + driver.target_path()});
    const std::string head = file_head(driver.target_path(), 2 * kMiB);
    driver.start();
    driver.send(driver.open_format_frame());
    driver.next_line();
    driver.send(control_frame(recover_message("rec", "RAVIK")));
    EXPECT_EQ(driver.next_line(), refused("rec", c.code, c.message, 0));
    driver.send(control_frame(simple_message("close", "end")));
    driver.next_line();
    EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
    EXPECT_EQ(file_head(driver.target_path(), head.size()), head);
  }
}

// --- A 4096-byte-sector loop device through the block-device backend -----------

// Write requests and bytes the kernel counted for a block device.
std::pair<std::uint64_t, std::uint64_t> writes_seen(const std::string& name) {
  std::ifstream in("/sys/block/" + name + "/stat");
  std::uint64_t fields[7] = {};
  for (auto& field : fields) in >> field;
  return {fields[4], fields[6] * 512};
}

// Removes the kernel's partitions of a loop device again, whatever the test's
// outcome.
struct KernelPartitions {
  explicit KernelPartitions(const std::string& device) : device_(device) {
    run_ok({"partx", "-a", device_});
  }
  ~KernelPartitions() { (void)run_command({"partx", "-d", device_}); }
  KernelPartitions(const KernelPartitions&) = delete;
  KernelPartitions& operator=(const KernelPartitions&) = delete;

 private:
  std::string device_;
};

std::string sysfs_value(const std::string& path) {
  std::string value;
  std::ifstream(path) >> value;
  return value;
}

// The testing helper holding `loop` (of `target_size` bytes, the image's
// size when 0), onto which it wrote `image`; send() and next() speak to it,
// next() skipping progress events.
class LoopSession {
 public:
  LoopSession(const testing::LoopDevice& loop, const std::string& image,
              std::uint64_t target_size = 0) {
    auto started = harness::ChildProcess::start(harness::testing_helper_path(), {},
                                                harness::ChildOptions::piped());
    if (!started) {
      ADD_FAILURE() << started.error();
      return;
    }
    child_.emplace(std::move(*started));
    job::OpenWriteFields fields;
    fields.ids = {"req-1", "ses-1", "task-1"};
    fields.target.device_id = loop.name();
    fields.target.device_path = loop.path();
    fields.target.size_bytes = target_size != 0 ? target_size : image.size();
    fields.bytes_total = image.size();
    fields.sha256 = sha256_hex(image);
    send(job::open_write_message(fields));
    EXPECT_TRUE(next().starts_with(header("ready")));
    for (std::size_t at = 0; at < image.size(); at += job::kMaxSourcePayload) {
      EXPECT_TRUE(child_->write_stdin(
          job::data_frame(std::string_view(image).substr(at, job::kMaxSourcePayload))));
    }
    EXPECT_TRUE(child_->write_stdin(job::end_frame()));
    EXPECT_TRUE(next().starts_with(header("written")));
  }
  bool started() const { return child_.has_value(); }
  harness::ChildProcess& child() { return *child_; }
  void send(const nlohmann::ordered_json& message) {
    EXPECT_TRUE(child_->write_stdin(control_frame(message)));
  }
  std::string next() {
    for (;;) {
      auto line = child_->read_line();
      if (!line) return "<no line>";
      if (!line->starts_with(R"({"event":"progress")")) return *line;
    }
  }

 private:
  std::optional<harness::ChildProcess> child_;
};

// A disk of 4096-byte blocks, laid out by sfdisk and mkfs.fat on the loop
// device itself: its GPT (header at byte 4096) is found, a boot edit costs
// little more than the file, and recovery writes a table and a FAT that
// count in 4096-byte blocks, as the kernel, fsck.fat and mtools read them.
// 264 MiB: FAT32 with 4096-byte sectors needs 65,525 clusters of at least
// 4 KiB, and mtools refuses fewer.
TEST_F(BootSessionTest, LoopDevice4096_GptEditedCheaply_RecoveryCountsInBlocks) {
  constexpr std::uint64_t kSize = 264 * kMiB;
  constexpr std::uint64_t kImageSize = 34 * kMiB;  // the table and partition 1
  std::string why_not;
  auto loop =
      testing::LoopDevice::attach(dir_.path() + "/disk.img", kSize, 4096, why_not);
  if (!loop) RAVIK_SKIP_WITHOUT_LOOP_DEVICES(why_not);
  const std::string partition = loop->path() + "p1";
  run_ok({"sh", "-c",
          "echo 'label: gpt\nstart=256, size=8192, type=U' | sfdisk -q --no-reread " +
              loop->path()});
  {
    KernelPartitions partitions(loop->path());
    run_ok({"mkfs.fat", "-F", "16", "-S", "4096", "-s", "1", "-n", "BOOT", partition});
    write_bytes(dir_.path() + "/config.txt", "kernel=old\n");
    run_ok({"mcopy", "-i", partition, dir_.path() + "/config.txt", "::config.txt"});
  }
  const std::string image = file_head(loop->backing_path(), kImageSize);

  LoopSession session(*loop, image, kSize);
  ASSERT_TRUE(session.started());
  const auto send = [&](const nlohmann::ordered_json& message) { session.send(message); };
  const auto next = [&] { return session.next(); };
  send(open_boot_message("ob", 1));
  ASSERT_EQ(next(), answer_line("bootOpened", "ob", R"(,"partitionNumber":1)"));
  send(boot_read_file_message("r1", "config.txt"));
  EXPECT_EQ(next(),
            answer_line("bootFile", "r1",
                        R"(,"relativePath":"config.txt","exists":true,"dataBase64":")" +
                            b64("kernel=old\n") + "\""));
  std::string content(kMiB, '\0');
  for (std::size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>(i % 251);
  for (const std::string id : {"w1", "w2"}) {  // a new file, then its replacement
    const auto before = writes_seen(loop->name());
    send(boot_write_file_message(id, "user-data.bin", b64(content)));
    ASSERT_EQ(next(), boot_written_line(id, "user-data.bin", kMiB));
    const auto after = writes_seen(loop->name());
    std::cout << id << ": " << after.second - before.second << " bytes in "
              << after.first - before.first << " write requests\n";
    EXPECT_LE(after.second - before.second, kMiB + kMiB / 4);
  }
  send(simple_message("closeBoot", "cb"));
  ASSERT_TRUE(next().starts_with(header("bootClosed")));
  // The edited FAT16 volume of 4096-byte sectors, as the tools read it.
  const std::string edited = loop->backing_path() + "@@1M";
  run_ok({"mcopy", "-n", "-i", edited, "::user-data.bin", dir_.path() + "/out.bin"});
  EXPECT_EQ(file_bytes(dir_.path() + "/out.bin"), content);
  EXPECT_EQ(run_ok({"mtype", "-i", edited, "::config.txt"}), "kernel=old\n");
  write_bytes(dir_.path() + "/partition.img",
              file_head(loop->backing_path(), 8192 * 4096, kMiB));
  run_ok({"fsck.fat", "-n", dir_.path() + "/partition.img"});

  send(recover_message("rec", "RAVIK"));
  EXPECT_EQ(
      next(),
      answer_line(
          "recoveryResult", "rec",
          R"(,"recovered":true,"filesystem":"fat32","volumeLabel":"RAVIK","flushCompleted":true)"));
  send(open_boot_message("ob2", 1));
  EXPECT_EQ(next(), answer_line("bootOpened", "ob2", R"(,"partitionNumber":1)"));
  send(boot_write_file_message("w3", "config.txt", b64("after recovery\n")));
  EXPECT_EQ(next(), boot_written_line("w3", "config.txt", 15));
  send(boot_read_file_message("r3", "CONFIG.TXT"));
  EXPECT_EQ(next(),
            answer_line("bootFile", "r3",
                        R"(,"relativePath":"CONFIG.TXT","exists":true,"dataBase64":")" +
                            b64("after recovery\n") + "\""));
  send(simple_message("close", "end"));
  next();
  EXPECT_EQ(session.child().wait(), ExitStatus::exited_with(0))
      << session.child().stderr_text();

  // The table in 4096-byte blocks: 1 MiB is LBA 256, and the partition runs
  // to the end of the disk.
  constexpr std::uint64_t kSectors = kSize / 4096 - 256;
  const std::string dump = run_ok({"sfdisk", "-d", loop->path()});
  EXPECT_NE(dump.find("label: dos"), std::string::npos) << dump;
  EXPECT_NE(dump.find("sector-size: 4096"), std::string::npos) << dump;
  EXPECT_NE(dump.find(partition + " : start=         256, size=       " +
                      std::to_string(kSectors) + ", type=c"),
            std::string::npos)
      << dump;
  {
    KernelPartitions partitions(loop->path());
    // sysfs counts in 512-byte units whatever the block size.
    const std::string sysfs = "/sys/class/block/" + loop->name() + "p1/";
    EXPECT_EQ(sysfs_value(sysfs + "start"), std::to_string(kMiB / 512));
    EXPECT_EQ(sysfs_value(sysfs + "size"), std::to_string(kSectors * 4096 / 512));
    run_ok({"fsck.fat", "-n", partition});
    EXPECT_NE(run_ok({"minfo", "-i", partition, "::"}).find("sector size: 4096 bytes"),
              std::string::npos);
    EXPECT_EQ(run_ok({"mtype", "-i", loop->backing_path() + "@@1M", "::config.txt"}),
              "after recovery\n");
  }
}

// --- A replacement that cannot finish ------------------------------------------

// The start of the error event answering `id` with `code`.
std::string error_answer(const std::string& id, const std::string& code) {
  return header("error") + R"(,"operationId":")" + id + R"(","ok":false,"errorCode":")" +
         code + "\"";
}

TEST_F(BootSessionTest, LoopDevice_FailedFlushAndCancel_LeaveTheOldFileOrAnswerWritten) {
  constexpr std::uint64_t kSize = 16 * kMiB;
  const std::string image = fat_image(dir_.path(), kSize, false);
  const std::string old_config = "# original configuration\nkernel=old\n";
  std::string why_not;
  auto loop = testing::LoopDevice::attach(dir_.path() + "/disk.img", kSize, 512, why_not);
  if (!loop) RAVIK_SKIP_WITHOUT_LOOP_DEVICES(why_not);
  LoopSession session(*loop, image);
  ASSERT_TRUE(session.started());
  session.send(open_boot_message("ob", 1));
  ASSERT_EQ(session.next(), answer_line("bootOpened", "ob", R"(,"partitionNumber":1)"));
  const std::string big(kMiB, '\x5A');
  const std::string volume = loop->backing_path() + "@@1M";
  // fsck.fat finds the volume clean, or mends it (on a copy) to hold the old
  // file or the new one.
  const auto clean_or_repairable = [&](const std::string& expected) {
    const std::string copy = dir_.path() + "/partition.img";
    write_bytes(copy, file_bytes(loop->backing_path()).substr(kMiB));
    if (run_command({"fsck.fat", "-n", copy}).exit_code == 0) return;
    run_command({"fsck.fat", "-a", copy});
    const auto again = run_command({"fsck.fat", "-n", copy});
    EXPECT_EQ(again.exit_code, 0) << again.output;
    EXPECT_EQ(run_ok({"mtype", "-i", copy, "::CONFIG.TXT"}), expected);
  };

  // The medium turns read-only (as `blockdev --setro` makes it) as soon as
  // the new content reached it, while the replacement is being made
  // durable: the old file is there byte for byte.
  const int control = ::open(loop->path().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(control, 0);
  const auto set_read_only = [control](int on) {
    return ::ioctl(control, BLKROSET, &on);
  };
  const std::uint64_t writes_before = writes_seen(loop->name()).first;
  std::atomic<bool> turned = false;
  std::thread watcher([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      if (writes_seen(loop->name()).first > writes_before) {
        turned = set_read_only(1) == 0;
        return;
      }
    }
  });
  session.send(boot_write_file_message("w1", "config.txt", b64(big)));
  const std::string failed = session.next();
  watcher.join();
  ASSERT_TRUE(turned);
  EXPECT_EQ(set_read_only(0), 0);
  ::close(control);
  EXPECT_TRUE(failed.starts_with(error_answer("w1", "BOOT_CHECK_FAILED"))) << failed;
  EXPECT_EQ(run_ok({"mtype", "-i", volume, "::CONFIG.TXT"}), old_config);
  clean_or_repairable(old_config);

  // A cancel right behind the replacement: CANCELED with the old file, or,
  // once the commit point was passed, bootFileWritten with the new one.
  // Either way the flag stays set for the next command.
  session.send(boot_write_file_message("w2", "config.txt", b64(big)));
  session.send(job::cancel_message(std::string("w2")));
  const std::string answer = session.next();
  const bool written = answer.starts_with(header("bootFileWritten"));
  if (written) {
    EXPECT_EQ(answer, boot_written_line("w2", "config.txt", kMiB));
  } else {
    EXPECT_TRUE(answer.starts_with(error_answer("w2", "CANCELED"))) << answer;
  }
  session.send(boot_read_file_message("r1", "config.txt"));
  const std::string still_canceled = session.next();
  EXPECT_TRUE(still_canceled.starts_with(error_answer("r1", "CANCELED")))
      << still_canceled;
  session.send(simple_message("close", "end"));
  EXPECT_TRUE(session.next().starts_with(header("closed")));
  EXPECT_EQ(session.child().wait(), ExitStatus::exited_with(0))
      << session.child().stderr_text();
  EXPECT_EQ(run_ok({"mtype", "-i", volume, "::CONFIG.TXT"}), written ? big : old_config);
  clean_or_repairable(written ? big : old_config);
}

// FAT16 volumes whose config.txt chain is not its own: refused, and the
// target keeps every byte.
TEST_F(BootSessionTest, CrossLinkedVolumes_RefusedWithNothingWritten) {
  constexpr std::uint64_t kSize = 16 * kMiB;
  fat_image(dir_.path(), kSize, false);
  write_bytes(dir_.path() + "/other.txt", "other file\n");
  const std::string path = dir_.path() + "/image.img";
  run_ok({"mcopy", "-i", path + "@@1M", dir_.path() + "/other.txt", "::other.txt"});
  const std::string image = file_bytes(path);
  const auto u16 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(image[at]) |
                                      static_cast<std::uint8_t>(image[at + 1]) << 8);
  };
  const std::size_t boot = kMiB;
  const std::size_t sector = u16(boot + 11);
  const std::size_t fat = boot + u16(boot + 14) * sector;
  const std::size_t root =
      fat + static_cast<std::uint8_t>(image[boot + 16]) * u16(boot + 22) * sector;
  const std::size_t config = image.find("CONFIG  TXT", root);
  const std::size_t other = image.find("OTHER   TXT", root);
  ASSERT_NE(config, std::string::npos);
  ASSERT_NE(other, std::string::npos);
  const std::uint32_t first = u16(config + 26);
  std::string shared = image;  // config.txt starts in other.txt's cluster
  shared.replace(config + 26, 2, image.substr(other + 26, 2));
  std::string freed = image;  // config.txt's only cluster reads as free
  freed.replace(fat + 2 * first, 2, std::string(2, '\0'));
  for (const auto& [damaged, text] :
       {std::pair{shared, "cross-linked with another root entry"},
        std::pair{freed, "runs into a free cluster"}}) {
    SCOPED_TRACE(text);
    SessionDriver driver(damaged, kSize);
    driver.open_and_write();
    driver.send(control_frame(open_boot_message("ob", 1)));
    driver.next_line();
    const std::string before = file_bytes(driver.target_path());
    driver.send(control_frame(boot_write_file_message("w", "config.txt", b64("new\n"))));
    const std::string answer = driver.next_line();
    EXPECT_TRUE(answer.starts_with(error_answer("w", "BOOT_CHECK_FAILED"))) << answer;
    EXPECT_NE(answer.find(text), std::string::npos) << answer;
    EXPECT_EQ(file_bytes(driver.target_path()), before);
    driver.send(control_frame(simple_message("close", "end")));
    driver.next_line();
    EXPECT_EQ(driver.wait(), ExitStatus::exited_with(0));
  }
}

}  // namespace
}  // namespace ravik::session_test
