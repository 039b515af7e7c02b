#include "job/image_fan_out.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "support/pattern_bytes.h"

namespace ravik::job {
namespace {

using namespace std::chrono_literals;
using testing::pattern_text;

constexpr std::size_t kChunk = 64 * 1024;

// The image `bytes` (not owned); counts what it handed out; fails every read
// from `fail_at` on.
class PatternReader : public ImageReader {
 public:
  PatternReader(const std::string& bytes, std::atomic<std::uint64_t>& handed_out,
                std::uint64_t fail_at = UINT64_MAX)
      : bytes_(bytes), fail_at_(fail_at), handed_out_(handed_out) {}

  Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    if (position_ >= fail_at_) return fail(codes::kImageMissing, "corrupt input");
    const std::size_t count = std::min(buffer.size(), bytes_.size() - position_);
    std::memcpy(buffer.data(), bytes_.data() + position_, count);
    position_ += count;
    handed_out_ += count;
    return count;
  }

 private:
  const std::string& bytes_;
  std::uint64_t fail_at_;
  std::size_t position_ = 0;
  std::atomic<std::uint64_t>& handed_out_;
};

// Everything `chunks` gives, `limit` bytes at most per call, then stops taking;
// the failure message when it fails.
struct Taken {
  std::string bytes;
  std::string failure;
};
Taken take_all(ImageChunks& chunks, std::size_t limit) {
  Taken taken;
  while (true) {
    auto next = chunks.next(limit);
    if (!next) {
      taken.failure = next.error().message();
      break;
    }
    if (next->empty()) break;
    EXPECT_LE(next->size(), limit);
    taken.bytes.append(reinterpret_cast<const char*>(next->data()), next->size());
  }
  chunks.stop_taking();
  return taken;
}

// Time that stands still until the test moves it. Each wait lets the
// fan-out look at it again a moment later, as a spurious wake-up would.
class StillClock final : public FanOutClock {
 public:
  TimePoint now() const override { return TimePoint(ticks_.load()); }
  void wait_until(std::condition_variable& woken, std::unique_lock<std::mutex>& lock,
                  TimePoint) override {
    woken.wait_for(lock, 1ms);
  }
  void advance(std::chrono::seconds by) {
    ticks_.store(ticks_.load() + std::chrono::duration_cast<TimePoint::duration>(by));
  }

 private:
  std::atomic<TimePoint::duration> ticks_{};
};

ImageFanOut::Limits limits(std::chrono::milliseconds stall_limit = 1h) {
  return {.chunk_bytes = kChunk, .window_chunks = 4, .stall_limit = stall_limit};
}

TEST(ImageFanOutTest, EverySessionGetsEveryByte_AndTheSlowestBoundsTheReadAhead) {
  const std::string image = pattern_text(40 * kChunk + 5);
  std::atomic<std::uint64_t> handed_out{0};
  ImageFanOut fan_out(std::make_unique<PatternReader>(image, handed_out), 3, limits());
  std::promise<void> go_on;
  auto slow = std::async(std::launch::async, [&] {
    Taken taken;
    auto first = fan_out.session(0).next(kChunk);
    if (first)
      taken.bytes.assign(reinterpret_cast<const char*>(first->data()), first->size());
    go_on.get_future().wait();
    Taken rest = take_all(fan_out.session(0), 1000);
    taken.bytes += rest.bytes;
    taken.failure = rest.failure;
    return taken;
  });
  auto whole = std::async(std::launch::async,
                          [&] { return take_all(fan_out.session(1), kChunk); });
  auto partial = std::async(std::launch::async,
                            [&] { return take_all(fan_out.session(2), 10'000); });
  // The slow session still holds the oldest chunk: the window is all that
  // may have been read.
  std::this_thread::sleep_for(100ms);
  EXPECT_LE(handed_out.load(), 4 * kChunk);
  go_on.set_value();
  for (auto* session : {&slow, &whole, &partial}) {
    const Taken taken = session->get();
    EXPECT_EQ(taken.failure, "");
    EXPECT_TRUE(taken.bytes == image) << taken.bytes.size();
  }
}

TEST(ImageFanOutTest, SessionThatStopsTaking_IsLeftBehindAndTheOthersFinish) {
  const std::string image = pattern_text(20 * kChunk);
  std::atomic<std::uint64_t> handed_out{0};
  StillClock clock;
  ImageFanOut fan_out(std::make_unique<PatternReader>(image, handed_out), 3, limits(3s),
                      clock);
  // Session 0 takes one chunk and then nothing: a stick that hangs. The
  // others take theirs 2 s later, so that once time has moved 4 s only the
  // hung one has been idle for the 3 s limit, whatever the threads' order.
  ASSERT_TRUE(fan_out.session(0).next(kChunk));
  clock.advance(2s);
  for (std::size_t i : {1, 2}) ASSERT_TRUE(fan_out.session(i).next(kChunk));
  clock.advance(2s);
  auto first = std::async(std::launch::async,
                          [&] { return take_all(fan_out.session(1), kChunk); });
  auto second = std::async(std::launch::async,
                           [&] { return take_all(fan_out.session(2), kChunk); });
  const bool finished = second.wait_for(60s) == std::future_status::ready &&
                        first.wait_for(60s) == std::future_status::ready;
  if (!finished) fan_out.session(0).stop_taking();  // so that the failure cannot hang
  ASSERT_TRUE(finished) << "the others waited for the stalled session";
  for (auto* session : {&first, &second}) {
    const Taken taken = session->get();
    EXPECT_EQ(taken.failure, "");
    EXPECT_TRUE(taken.bytes == image.substr(kChunk)) << taken.bytes.size();
  }
  auto stalled = fan_out.session(0).next(kChunk);
  ASSERT_FALSE(stalled);
  EXPECT_TRUE(stalled.error().message().starts_with("This disk took no image data for "))
      << stalled.error().message();
  fan_out.session(0).stop_taking();
}

TEST(ImageFanOutTest, ReadFailure_ReachesEverySessionAfterTheBytesBeforeIt) {
  const std::string image = pattern_text(10 * kChunk);
  std::atomic<std::uint64_t> handed_out{0};
  ImageFanOut fan_out(std::make_unique<PatternReader>(image, handed_out, 3 * kChunk), 2,
                      limits());
  auto other =
      std::async(std::launch::async, [&] { return take_all(fan_out.session(1), 777); });
  for (const Taken& taken : {take_all(fan_out.session(0), kChunk), other.get()}) {
    EXPECT_TRUE(taken.bytes == image.substr(0, 3 * kChunk)) << taken.bytes.size();
    EXPECT_EQ(taken.failure, "corrupt input");
  }
}

// Given a way to read the image again, a session a whole window behind is
// not waited for, however short its stall (the clock stands still): the
// others finish, and it still gets every byte, through a reader of its own.
TEST(ImageFanOutTest, SessionAWindowBehind_GoesOnWithAReaderOfItsOwn) {
  const std::string image = pattern_text(20 * kChunk + 5);
  std::atomic<std::uint64_t> handed_out{0};
  std::atomic<int> reopened{0};
  StillClock clock;
  ImageFanOut fan_out(std::make_unique<PatternReader>(image, handed_out), 2,
                      {.chunk_bytes = kChunk,
                       .window_chunks = 4,
                       .stall_limit = 60s,
                       .reopen = [&]() -> Result<std::unique_ptr<ImageReader>> {
                         ++reopened;
                         return std::make_unique<PatternReader>(image, handed_out);
                       }},
                      clock);
  // The slow session takes a little, then waits until the fast one is done.
  auto first = fan_out.session(1).next(100);
  ASSERT_TRUE(first);
  std::string slow(reinterpret_cast<const char*>(first->data()), first->size());
  const Taken fast = take_all(fan_out.session(0), kChunk);
  EXPECT_EQ(fast.bytes, image);
  EXPECT_EQ(fast.failure, "");
  const Taken rest = take_all(fan_out.session(1), 1000);
  EXPECT_EQ(slow + rest.bytes, image);
  EXPECT_EQ(rest.failure, "");
  EXPECT_EQ(reopened.load(), 1);
}

}  // namespace
}  // namespace ravik::job
