// The read-only hold and the capacity probe end to end: the testing helper
// over pipes holding a loop device.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "job/messages.h"
#include "job/wire.h"
#include "protocol/base64.h"
#include "session_driver.h"
#include "support/loop_device_fixture.h"
#include "support/pattern_bytes.h"

namespace ravik::session_test {
namespace {

using harness::ExitStatus;
using job::control_frame;
using job::simple_message;

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The testing helper holding `loop` through `open_type` ("open_read" or
// "open_format"); next() skips progress events and counts their stages.
class LoopHold {
 public:
  LoopHold(const testing::LoopDevice& loop, const std::string& open_type) {
    auto started = harness::ChildProcess::start(harness::testing_helper_path(), {},
                                                harness::ChildOptions::piped());
    if (!started) {
      ADD_FAILURE() << started.error();
      return;
    }
    child_.emplace(std::move(*started));
    job::TargetFields target;
    target.device_id = loop.name();
    target.device_path = loop.path();
    target.size_bytes = loop.size_bytes();
    nlohmann::ordered_json open =
        job::open_format_message({"req-1", "ses-1", "task-1"}, target, false);
    open["type"] = open_type;
    send(open);
    ready_ = next();
  }
  bool held() const { return child_ && ready_.starts_with(header("ready")); }
  harness::ChildProcess& child() { return *child_; }
  void send(const nlohmann::ordered_json& message) {
    EXPECT_TRUE(child_->write_stdin(control_frame(message)));
  }
  std::string next() {
    for (;;) {
      auto line = child_->read_line();
      if (!line) return "<no line>";
      if (!line->starts_with(R"({"event":"progress")")) return *line;
      stages.push_back(nlohmann::json::parse(*line)["stage"]);
    }
  }
  std::vector<std::string> stages;

 private:
  std::optional<harness::ChildProcess> child_;
  std::string ready_;
};

std::optional<testing::LoopDevice> attach(const harness::TempDir& dir, std::uint64_t size,
                                          std::string& why_not) {
  return testing::LoopDevice::attach(dir.path() + "/disk.img", size, 512, why_not);
}

TEST(ReadHold, LoopDevice_ReadsTheWholeDiskAndRefusesEveryWrite) {
  constexpr std::uint64_t kSize = 3 * kMiB + 4096;
  harness::TempDir dir;
  std::string why_not;
  auto loop = attach(dir, kSize, why_not);
  if (!loop) RAVIK_SKIP_WITHOUT_LOOP_DEVICES(why_not);
  const std::vector<std::uint8_t> pattern = testing::pattern_bytes(kSize, 7);
  const std::string content(pattern.begin(), pattern.end());
  std::fstream(loop->backing_path(), std::ios::binary | std::ios::in | std::ios::out)
      .write(content.data(), static_cast<std::streamsize>(content.size()));

  LoopHold hold(*loop, "open_read");
  ASSERT_TRUE(hold.held());
  const std::string refused =
      "Only read, release, eject, close, or cancel commands are allowed in a read-only "
      "transaction.";
  job::OpenWriteFields second_open;
  second_open.ids = {"req-1", "ses-1", "task-1"};
  second_open.target.device_id = loop->name();
  second_open.target.device_path = loop->path();
  second_open.target.size_bytes = kSize;
  second_open.bytes_total = 512;
  second_open.sha256 = std::string(64, 'a');
  const std::vector<std::pair<std::optional<std::string>, nlohmann::ordered_json>>
      writing = {
          {"rec", job::recover_message("rec", "RAVIK")},
          {"ob", job::open_boot_message("ob", 1)},
          {"br", job::boot_read_file_message("br", "config.txt")},
          {"bw", job::boot_write_file_message("bw", "config.txt", "aGk=")},
          {"cb", simple_message("closeBoot", "cb")},
          {"v", job::verify_message("v")},
          {"p", simple_message("probeCapacity", "p")},
          {std::nullopt, job::open_write_message(second_open)},
      };
  // PROTOCOL_ERROR is outside the events' code vocabulary: UNKNOWN.
  for (const auto& [id, message] : writing) {
    hold.send(message);
    EXPECT_EQ(hold.next(), error_line(id, "UNKNOWN", refused, 0, true));
  }

  // Every byte of the disk, the last read ending at its end.
  std::string read_back;
  for (std::uint64_t at = 0; at < kSize; at += kMiB) {
    const std::uint64_t length = std::min(kMiB, kSize - at);
    const std::string id = "r" + std::to_string(at);
    hold.send(job::read_message(id, at, length));
    const auto answer = nlohmann::json::parse(hold.next());
    ASSERT_EQ(answer["event"], "readResult") << answer.dump();
    const auto bytes = base64_decode_canonical(answer["dataBase64"].get<std::string>());
    ASSERT_TRUE(bytes.has_value());
    read_back.append(bytes->begin(), bytes->end());
  }
  EXPECT_TRUE(read_back == content);
  hold.send(job::read_message("past", kSize - 10, 11));
  EXPECT_EQ(hold.next(),
            error_line("past", "UNKNOWN",
                       "Read range exceeds the held target's capacity.", 0, true));

  hold.send(simple_message("close", "end"));
  EXPECT_TRUE(hold.next().starts_with(header("closed")));
  EXPECT_EQ(hold.child().wait(), ExitStatus::exited_with(0));
  EXPECT_TRUE(file_bytes(loop->backing_path()) == content);
}

TEST(CapacityProbe, GenuineLoopDevice_AnswersItsFullCapacity) {
  constexpr std::uint64_t kSize = 96 * kMiB;
  harness::TempDir dir;
  std::string why_not;
  auto loop = attach(dir, kSize, why_not);
  if (!loop) RAVIK_SKIP_WITHOUT_LOOP_DEVICES(why_not);

  LoopHold hold(*loop, "open_format");
  ASSERT_TRUE(hold.held());
  hold.send(simple_message("probeCapacity", "p"));
  const std::string line = hold.next();
  const auto answer = nlohmann::ordered_json::parse(line);
  std::vector<std::string> members;
  for (const auto& [key, value] : answer.items()) members.push_back(key);
  EXPECT_EQ(members, (std::vector<std::string>{"event", "protocolVersion", "requestId",
                                               "sessionId", "taskId", "operationId",
                                               "reportedBytes", "verifiedBytes",
                                               "finding", "blocksProbed"}))
      << line;
  EXPECT_EQ(answer["event"], "capacityProbed");
  EXPECT_EQ(answer["operationId"], "p");
  EXPECT_EQ(answer["reportedBytes"], kSize);
  EXPECT_EQ(answer["verifiedBytes"], kSize);
  EXPECT_EQ(answer["finding"], "genuine");
  EXPECT_GT(answer["blocksProbed"].get<std::uint64_t>(), 1000u);
  ASSERT_FALSE(hold.stages.empty());
  EXPECT_EQ(hold.stages.front(), "WRITE");
  EXPECT_EQ(hold.stages.back(), "READ");

  hold.send(simple_message("close", "end"));
  EXPECT_TRUE(hold.next().starts_with(header("closed")));
  EXPECT_EQ(hold.child().wait(), ExitStatus::exited_with(0));
  // The probe's first block replaced whatever table the disk had.
  EXPECT_EQ(file_bytes(loop->backing_path()).substr(0, 11), "ravik probe");
}

}  // namespace
}  // namespace ravik::session_test
