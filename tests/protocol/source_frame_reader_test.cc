#include "protocol/source_frame_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/expect_error.h"
#include "support/pattern_bytes.h"
#include "support/scripted_streams.h"

namespace ravik {
namespace {

using testing::length_prefix;
using testing::pattern_text;
using testing::ScriptedBufferedInput;

std::string data_frame(std::string_view payload) {
  return length_prefix(static_cast<std::uint32_t>(payload.size() + 1)) + '\0' +
         std::string(payload);
}
std::string end_frame() { return length_prefix(1) + '\x01'; }
std::string abort_frame() { return length_prefix(1) + '\x02'; }
// A frame with any length and tag, its body filled up to `length`.
std::string raw_frame(std::uint32_t length, char tag) {
  return length_prefix(length) + tag + std::string(length - 1, 'z');
}

// Reads with `chunk`-sized buffers until 0 or an error; returns the bytes and
// the error (if any).
struct Drained {
  std::string bytes;
  std::optional<IoError> error;
};
Drained read_all(SourceFrameReader& reader, std::size_t chunk) {
  Drained out;
  std::vector<std::uint8_t> buffer(chunk);
  for (;;) {
    auto count = reader.read(buffer);
    if (!count) {
      out.error = count.error();
      return out;
    }
    if (*count == 0) return out;
    out.bytes.append(reinterpret_cast<const char*>(buffer.data()), *count);
  }
}

using testing::expect_error;

TEST(SourceFrameReader, WholeImageInOneLargestFrame_ThenEndWithoutTouchingInput) {
  const std::string image = pattern_text(4 * 1024 * 1024);
  const std::string next_control = length_prefix(2) + "{}";
  ScriptedBufferedInput s(data_frame(image) + end_frame() + next_control);
  SourceFrameReader reader(s.input, image.size());
  const Drained got = read_all(reader, image.size());
  EXPECT_FALSE(got.error.has_value());
  EXPECT_EQ(got.bytes, image);
  EXPECT_TRUE(reader.finished());
  EXPECT_FALSE(reader.canceled());
  EXPECT_EQ(reader.delivered(), image.size());
  // The end frame was the last byte consumed: the stream is aligned, and
  // further reads do not consume the next control frame.
  const std::size_t consumed = s.consumed();
  EXPECT_EQ(consumed, 4 + 1 + image.size() + 5);
  std::uint8_t one[1];
  EXPECT_EQ(*reader.read(one), 0u);
  EXPECT_EQ(*reader.read(std::span<std::uint8_t>()), 0u);
  EXPECT_EQ(s.consumed(), consumed);
}

TEST(SourceFrameReader, SmallConsumerBuffer_PayloadHandedOutOverSeveralCalls) {
  const std::string image = pattern_text(10000);
  ScriptedBufferedInput s(
      data_frame(image.substr(0, 7000)) + data_frame(image.substr(7000)) + end_frame(),
      999);
  SourceFrameReader reader(s.input, image.size());
  std::vector<std::uint8_t> buffer(4096);
  std::vector<std::size_t> counts;
  std::string got;
  for (;;) {
    auto count = reader.read(buffer);
    ASSERT_TRUE(count.has_value()) << count.error().describe();
    if (*count == 0) break;
    counts.push_back(*count);
    got.append(reinterpret_cast<const char*>(buffer.data()), *count);
  }
  EXPECT_EQ(got, image);
  // A call never spans two frames.
  EXPECT_EQ(counts, (std::vector<std::size_t>{4096, 2904, 3000}));
  EXPECT_TRUE(reader.finished());
}

TEST(SourceFrameReader, LengthLimits_LargestAcceptedLargerRefusedBeforeBody) {
  const std::string image = pattern_text(4194304);
  ScriptedBufferedInput accepted(raw_frame(4194305, '\0') + end_frame());
  SourceFrameReader ok(accepted.input, image.size());
  EXPECT_EQ(read_all(ok, 1 << 20).bytes.size(), image.size());
  EXPECT_TRUE(ok.finished());

  for (std::uint32_t length : {4194306u, 0u, 0xFFFFFFFFu}) {
    ScriptedBufferedInput s(length_prefix(length) + std::string(16, '\0'));
    SourceFrameReader reader(s.input, 1 << 30);
    expect_error(read_all(reader, 64).error, IoErrorKind::kInvalidData,
                 "source frame exceeds the protocol limit");
    EXPECT_EQ(s.consumed(), 4u) << length;
  }
}

TEST(SourceFrameReader, BadFrames_RefusedWithoutHandingOutBytes) {
  struct Case {
    std::string frames;
    std::uint64_t bytes_total;
    IoErrorKind kind;
    const char* text;
  };
  const Case cases[] = {
      {raw_frame(1, '\0'), 10, IoErrorKind::kInvalidData, "invalid source frame tag"},
      {raw_frame(3, '\x03'), 10, IoErrorKind::kInvalidData, "invalid source frame tag"},
      {raw_frame(2, '\x01'), 10, IoErrorKind::kInvalidData, "invalid source frame tag"},
      {raw_frame(9, '\x02'), 10, IoErrorKind::kInvalidData, "invalid source frame tag"},
      {data_frame("12345678901"), 10, IoErrorKind::kInvalidData,
       "source stream contained trailing bytes"},
      {end_frame(), 10, IoErrorKind::kUnexpectedEof,
       "source stream ended before bytesTotal"},
      {abort_frame(), 10, IoErrorKind::kConnectionAborted, "source stream was canceled"},
  };
  // Only the head of the refused frame is consumed; a drain takes the rest.
  constexpr std::size_t kConsumed = 8 + 5;
  for (const auto& c : cases) {
    ScriptedBufferedInput s(data_frame("abc") + c.frames + data_frame("more"));
    SourceFrameReader reader(s.input, c.bytes_total);
    std::vector<std::uint8_t> buffer(64, 0xEE);
    ASSERT_EQ(*reader.read(buffer), 3u);
    const auto failed = reader.read(buffer);
    ASSERT_FALSE(failed.has_value()) << c.text;
    EXPECT_EQ(failed.error().kind, c.kind) << c.text;
    EXPECT_EQ(failed.error().describe(), c.text);
    EXPECT_EQ(s.consumed(), kConsumed) << c.text;
    EXPECT_FALSE(reader.misaligned());
    EXPECT_EQ(buffer[3], 0xEE) << c.text;  // nothing of the frame was handed out
    EXPECT_EQ(reader.delivered(), 3u);
    EXPECT_EQ(reader.canceled(), c.kind == IoErrorKind::kConnectionAborted);
    EXPECT_FALSE(reader.finished());
    // A failed stream stays failed and the input is left alone.
    const auto again = reader.read(buffer);
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().describe(), c.text);
    EXPECT_EQ(s.consumed(), kConsumed) << c.text;
  }
}

TEST(SourceFrameReader, ByteCountOverflow_Refused) {
  // delivered + payload wraps around 64 bits only with an absurd total; the
  // check must come before the addition.
  ScriptedBufferedInput s(data_frame("ab") + data_frame("cd"));
  SourceFrameReader reader(s.input, std::numeric_limits<std::uint64_t>::max());
  std::uint8_t buffer[8];
  ASSERT_EQ(*reader.read(buffer), 2u);
  ASSERT_EQ(*reader.read(buffer), 2u);
  EXPECT_EQ(reader.delivered(), 4u);
  expect_error(read_all(reader, 8).error, IoErrorKind::kUnexpectedEof,
               "input ended early");
}

TEST(SourceFrameReader, InputFailures_PassThroughUnchanged) {
  ScriptedBufferedInput cut(data_frame("abcdef").substr(0, 7));
  SourceFrameReader cut_reader(cut.input, 6);
  expect_error(read_all(cut_reader, 64).error, IoErrorKind::kUnexpectedEof,
               "input ended early");

  auto log = std::make_shared<testing::InputLog>();
  auto raw =
      std::make_unique<testing::ScriptedInput>(data_frame("abcdef") + end_frame(), log);
  raw->fail_at(6, IoError::from_errno(EIO));
  BufferedInput input(std::move(raw));
  SourceFrameReader reader(input, 6);
  const auto error = read_all(reader, 64).error;
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->kind, IoErrorKind::kOther);
  EXPECT_EQ(error->os_error, EIO);
}

TEST(SourceFrameReader, LengthOverLimit_MisalignedAndNeverReadAgain) {
  // The body of the refused frame is image content; read as frames it holds
  // an abort frame (00 00 00 01 02) and a control frame.
  const std::string body = std::string("\0\0\x01\x02", 4) + length_prefix(2) + "{}";
  ScriptedBufferedInput s(length_prefix(4194306) + '\0' + body);
  SourceFrameReader reader(s.input, 100);
  expect_error(read_all(reader, 64).error, IoErrorKind::kInvalidData,
               "source frame exceeds the protocol limit");
  EXPECT_TRUE(reader.misaligned());
  const std::size_t consumed = s.consumed();
  const auto drained = reader.drain_until_abort();
  ASSERT_FALSE(drained.has_value());
  EXPECT_EQ(s.consumed(), consumed);
  EXPECT_FALSE(reader.canceled());
}

TEST(SourceFrameReader, WakeUps_EndReadsEarlyWithoutLosingBytes) {
  const std::string image = "abcdefgh";
  const std::string frames = data_frame("abcdef") + data_frame("gh");
  for (std::size_t at = 1; at < frames.size(); ++at) {
    SCOPED_TRACE("woken after byte " + std::to_string(at));
    for (const bool drain : {false, true}) {
      auto log = std::make_shared<testing::InputLog>();
      auto raw = std::make_unique<testing::ScriptedInput>(
          frames + (drain ? abort_frame() : end_frame()) + "next", log, 1);
      raw->fail_at(at, IoError::from_errno(EINTR));
      BufferedInput input(std::move(raw));
      SourceFrameReader reader(input, image.size());
      std::string bytes;
      bool woken = false;
      std::uint8_t buffer[16];
      while (!woken || !drain) {
        auto count = reader.read(buffer);
        if (!count) {
          ASSERT_EQ(count.error().kind, IoErrorKind::kInterrupted);
          woken = true;
          continue;
        }
        if (*count == 0) break;
        bytes.append(reinterpret_cast<char*>(buffer), *count);
        woken = woken || log->delivered > at;
      }
      if (drain) {
        ASSERT_TRUE(reader.drain_until_abort().has_value());
      } else {
        EXPECT_EQ(bytes, image);
        EXPECT_TRUE(reader.finished());
      }
      std::uint8_t next[4];
      ASSERT_TRUE(input.read_exact(next).has_value());
      EXPECT_EQ(std::string(reinterpret_cast<char*>(next), 4), "next");
    }
  }
}

struct DrainCase {
  const char* name;
  std::string before;  // frames the consumer reads before the drain
  std::size_t read_first;
  std::string during;  // frames the drain consumes
  std::uint64_t bytes_total;
  const char* error;  // nullptr: the drain succeeds
};

TEST(SourceFrameReader, DrainUntilAbort_Rules) {
  const DrainCase cases[] = {
      {"data data end abort", data_frame("ab"), 2,
       data_frame("cd") + data_frame("ef") + end_frame() + abort_frame(), 6, nullptr},
      {"abort at once", "", 0, abort_frame(), 6, nullptr},
      {"unread rest of the current frame counts", data_frame("abcdef"), 1,
       data_frame("gh") + abort_frame(), 8, nullptr},
      {"unread rest plus later data past total", data_frame("abcdef"), 1,
       data_frame("ab") + abort_frame(), 7, "source drain exceeded bytesTotal"},
      {"after a completed stream", data_frame("ab") + end_frame(), 3, abort_frame(), 2,
       nullptr},
      {"after a completed stream, more data", data_frame("ab") + end_frame(), 3,
       data_frame("c") + abort_frame(), 2, "source drain exceeded bytesTotal"},
      {"data after end", "", 0, end_frame() + data_frame("a") + abort_frame(), 6,
       "invalid source drain frame tag"},
      {"two end frames", "", 0, end_frame() + end_frame() + abort_frame(), 6,
       "invalid source drain frame tag"},
      {"data past total", data_frame("ab"), 2, data_frame("cdefg") + abort_frame(), 6,
       "source drain exceeded bytesTotal"},
      {"data up to total", data_frame("ab"), 2, data_frame("cdef") + abort_frame(), 6,
       nullptr},
      {"tag only data frame", "", 0, raw_frame(1, '\0') + abort_frame(), 6,
       "invalid source drain frame tag"},
      {"unknown tag", "", 0, raw_frame(1, '\x07') + abort_frame(), 6,
       "invalid source drain frame tag"},
      {"long abort", "", 0, raw_frame(2, '\x02'), 6, "invalid source drain frame tag"},
      {"long end", "", 0, raw_frame(3, '\x01') + abort_frame(), 6,
       "invalid source drain frame tag"},
      {"empty frame", "", 0, length_prefix(0), 6,
       "source drain frame exceeds the protocol limit"},
      {"oversize frame", "", 0, length_prefix(4194306), 6,
       "source drain frame exceeds the protocol limit"},
      {"after a refused trailing frame", data_frame("abcdefg"), 1,
       data_frame("ab") + abort_frame(), 6, nullptr},
  };
  const std::string next_control = length_prefix(2) + "{}";
  for (const auto& c : cases) {
    ScriptedBufferedInput s(c.before + c.during + next_control);
    SourceFrameReader reader(s.input, c.bytes_total);
    std::vector<std::uint8_t> buffer(std::max<std::size_t>(c.read_first, 1));
    std::size_t taken = 0;
    while (taken < c.read_first) {
      auto count = reader.read(std::span(buffer).first(c.read_first - taken));
      if (!count || *count == 0) break;
      taken += *count;
    }
    auto drained = reader.drain_until_abort();
    if (c.error == nullptr) {
      ASSERT_TRUE(drained.has_value()) << c.name << ": " << drained.error().describe();
      EXPECT_TRUE(reader.finished()) << c.name;
      EXPECT_TRUE(reader.canceled()) << c.name;
      // Aligned on the control frame that follows the abort.
      EXPECT_EQ(s.consumed(), c.before.size() + c.during.size()) << c.name;
      std::uint8_t next[6];
      ASSERT_TRUE(s.input.read_exact(next).has_value()) << c.name;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(next), 6), next_control) << c.name;
    } else {
      ASSERT_FALSE(drained.has_value()) << c.name;
      EXPECT_EQ(drained.error().kind, IoErrorKind::kInvalidData) << c.name;
      EXPECT_EQ(drained.error().describe(), c.error) << c.name;
      EXPECT_FALSE(reader.canceled() && reader.finished()) << c.name;
    }
  }
}

TEST(SourceFrameReader, DrainUntilAbort_CountsAnnouncedBytesAndIgnoresPayload) {
  ScriptedBufferedInput s(data_frame("abcd") + data_frame(pattern_text(5000)) +
                          end_frame() + abort_frame());
  SourceFrameReader reader(s.input, 10000);
  std::uint8_t buffer[3];
  ASSERT_EQ(*reader.read(buffer), 3u);
  ASSERT_TRUE(reader.drain_until_abort().has_value());
  EXPECT_EQ(reader.delivered(), 5004u);
  EXPECT_EQ(s.consumed(), 9u + 5005 + 5 + 5);
  // A drained reader reads as an ended stream.
  EXPECT_EQ(*reader.read(buffer), 0u);

  ScriptedBufferedInput cut(data_frame("abcd").substr(0, 6));
  SourceFrameReader cut_reader(cut.input, 10);
  auto drained = cut_reader.drain_until_abort();
  ASSERT_FALSE(drained.has_value());
  EXPECT_EQ(drained.error().kind, IoErrorKind::kUnexpectedEof);
  EXPECT_EQ(drained.error().describe(), "input ended early");
}

}  // namespace
}  // namespace ravik
