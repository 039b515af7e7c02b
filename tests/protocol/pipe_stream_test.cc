// The protocol over a real pipe fed by another process: the writer's pieces
// never line up with frames, and control frames, source frames and a drain
// share the one buffered reader in stream order.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "protocol/control_frame.h"
#include "protocol/event_writer.h"
#include "protocol/source_frame_reader.h"
#include "support/scripted_streams.h"

namespace ravik {
namespace {

using testing::frame;
using testing::length_prefix;

std::string source_frame(char tag, std::string_view payload = {}) {
  return length_prefix(static_cast<std::uint32_t>(payload.size() + 1)) + tag +
         std::string(payload);
}

// Forks a child that writes `bytes` in pieces of 1, 2, 3, ... 4099 bytes and
// exits; returns the read end.
UniqueFd feed_from_child(const std::string& bytes, pid_t& child) {
  int fds[2];
  EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
  child = fork();
  if (child == 0) {
    close(fds[0]);
    std::size_t at = 0;
    std::size_t piece = 1;
    while (at < bytes.size()) {
      const std::size_t n = std::min(piece, bytes.size() - at);
      const ssize_t written = write(fds[1], bytes.data() + at, n);
      if (written <= 0) _exit(1);
      at += static_cast<std::size_t>(written);
      piece = piece % 4099 + 1;
    }
    _exit(0);
  }
  close(fds[1]);
  return UniqueFd(fds[0]);
}

TEST(ProtocolOverPipe, ControlFramesSourceFramesAndDrain_StayInStreamOrder) {
  const std::string image_part(3 * 1024 * 1024 + 17, 'i');
  const std::string stream =
      frame(
          R"({"type":"open_write","protocolVersion":1,"requestId":"r","sessionId":"s",)"
          R"("taskId":"t","target":{"platform":"linux","deviceId":"sdb","devicePath":"/dev/sdb",)"
          R"("sizeBytes":1073741824},"source":{"bytesTotal":8388608,"sha256":")" +
          std::string(64, '0') + R"("},"tailPolicy":"exact"})") +
      source_frame('\0', image_part) + source_frame('\0', image_part) +
      source_frame('\x02') +
      frame(R"({"type":"release","protocolVersion":1,"operationId":"done"})");
  pid_t child = 0;
  BufferedInput input = BufferedInput::over_fd(feed_from_child(stream, child));

  auto open = read_frame(input);
  ASSERT_TRUE(open.has_value()) << open.error().message();
  const auto& request = std::get<OpenWriteRequest>(open->payload);
  ASSERT_TRUE(request.validate().has_value());

  // The write fails after one frame; the session drains to the abort frame.
  SourceFrameReader reader(input, request.source.bytes_total);
  std::vector<std::uint8_t> buffer(4 * 1024 * 1024);
  auto count = reader.read(buffer);
  ASSERT_TRUE(count.has_value());
  EXPECT_EQ(*count, image_part.size());
  ASSERT_TRUE(reader.drain_until_abort().has_value());
  EXPECT_EQ(reader.delivered(), 2 * image_part.size());

  auto next = read_frame(input);
  ASSERT_TRUE(next.has_value()) << next.error().message();
  EXPECT_EQ(std::get<ReleaseCommand>(next->payload).operation_id, "done");
  auto end = read_frame(input);
  ASSERT_FALSE(end.has_value());
  EXPECT_EQ(end.error().message(),
            "Could not read control-frame length: input ended early");

  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ProtocolOverPipe, EventLines_ReadBackAsOneJsonObjectPerLine) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  UniqueFd read_end(fds[0]);
  {
    BufferedOutput out = BufferedOutput::over_fd(UniqueFd(fds[1]));
    const EventHeader header{1, "r", "s", "t"};
    ASSERT_TRUE(write_event(out, ServerEvent{header, ProgressEvent{std::nullopt,
                                                                   ProgressStage::kWrite,
                                                                   1, 2, 3, "a\nb"}})
                    .has_value());
    ASSERT_TRUE(
        write_event(out, ServerEvent{header, ReleasedEvent{"done", true, true, false}})
            .has_value());
  }
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = read(read_end.get(), chunk, sizeof(chunk))) > 0;)
    text.append(chunk, n);
  const auto newline = text.find('\n');
  ASSERT_NE(newline, std::string::npos);
  ASSERT_EQ(text.back(), '\n');
  const auto first = nlohmann::json::parse(text.substr(0, newline));
  const auto second =
      nlohmann::json::parse(text.substr(newline + 1, text.size() - newline - 2));
  EXPECT_EQ(first["message"], "a\nb");
  EXPECT_EQ(second["event"], "released");
  EXPECT_EQ(second["operationId"], "done");
}

}  // namespace
}  // namespace ravik
