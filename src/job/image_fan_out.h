// ImageFanOut: one image read once and handed to several helper sessions,
// chunk by chunk, so that one pass over the image (and one decompression)
// feeds every disk.
//
// A thread of the fan-out reads chunks ahead of the sessions into a window
// of at most `window_chunks` chunks; the window moves on once every session
// still taking bytes has passed its oldest chunk, so memory stays bounded
// and the sessions go at the pace of the slowest. A session that took nothing
// for `stall_limit` while the window waited for it is left behind: its
// next() fails from then on and the others go on without it. A session that
// stops taking (finished, failed, canceled) holds nothing back. A left-behind
// session keeps at most the one chunk it was sending, so memory stays below
// (window_chunks + sessions) chunks.
//
// Thread-safe: each session's chunks are used by that session's thread; the
// reading thread is joined by the destructor, which must come after every
// session is done with its chunks.
#ifndef RAVIK_JOB_IMAGE_FAN_OUT_H_
#define RAVIK_JOB_IMAGE_FAN_OUT_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "job/image_chunks.h"
#include "job/image_reader.h"

namespace ravik::job {

// The fan-out's time, behind an interface so that a test can drive the
// stall limit without waiting for it. Thread-safe.
class FanOutClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~FanOutClock() = default;
  virtual TimePoint now() const = 0;
  // Waits on `woken` (with `lock` held) until it is notified or `deadline`
  // has passed; may return sooner, as a condition variable may wake
  // spuriously, so the caller looks again.
  virtual void wait_until(std::condition_variable& woken,
                          std::unique_lock<std::mutex>& lock, TimePoint deadline) = 0;
};

// The steady clock, shared by every fan-out that is not given another.
FanOutClock& steady_fan_out_clock();

class ImageFanOut {
 public:
  using Reopen = std::function<Result<std::unique_ptr<ImageReader>>()>;
  struct Limits {
    std::size_t chunk_bytes;
    std::size_t window_chunks;
    std::chrono::milliseconds stall_limit;
    // The image from its start once more; none: a session is left behind.
    Reopen reopen = {};
  };

  // `clock` must outlive this.
  ImageFanOut(std::unique_ptr<ImageReader> reader, std::size_t sessions, Limits limits,
              FanOutClock& clock = steady_fan_out_clock());
  ImageFanOut(const ImageFanOut&) = delete;
  ImageFanOut& operator=(const ImageFanOut&) = delete;
  ~ImageFanOut();

  // The chunks of session `index` (< sessions).
  ImageChunks& session(std::size_t index);

 private:
  using TimePoint = FanOutClock::TimePoint;
  struct Chunk {
    std::vector<std::uint8_t> bytes;
    std::size_t size = 0;
  };
  struct Follower {
    std::uint64_t index = 0;  // of the chunk it takes next
    bool taking = true;       // neither stopped nor left behind
    bool left_behind = false;
    bool on_its_own = false;  // reads the image through a reader of its own
    // When it last took bytes; a session stuck in sending them lets it age.
    TimePoint last_active;
  };
  class Cursor;

  void read_ahead();
  // Drops the chunks every session still taking has passed; locked.
  void trim();
  // Waits for room in the window, leaving stalled sessions behind; false when
  // nobody takes chunks any more or the fan-out is stopping. Locked.
  bool await_room(std::unique_lock<std::mutex>& lock);
  std::shared_ptr<Chunk> spare_chunk();

  std::unique_ptr<ImageReader> reader_;
  const Limits limits_;
  FanOutClock& clock_;
  std::mutex mutex_;
  std::condition_variable arrived_;  // a chunk, the end or a failure
  std::condition_variable room_;     // a session moved on or stopped taking
  std::deque<std::shared_ptr<Chunk>> window_;
  std::uint64_t first_index_ = 0;  // of window_.front()
  std::vector<std::shared_ptr<Chunk>> spares_;
  std::vector<Follower> followers_;
  bool ended_ = false;
  bool stopping_ = false;
  std::optional<HelperError> read_error_;
  std::vector<std::unique_ptr<Cursor>> cursors_;
  std::thread thread_;
};

}  // namespace ravik::job

#endif  // RAVIK_JOB_IMAGE_FAN_OUT_H_
