#include "job/image_fan_out.h"

#include <algorithm>

namespace ravik::job {
namespace {

class SteadyFanOutClock final : public FanOutClock {
 public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
  void wait_until(std::condition_variable& woken, std::unique_lock<std::mutex>& lock,
                  TimePoint deadline) override {
    woken.wait_until(lock, deadline);
  }
};

}  // namespace

FanOutClock& steady_fan_out_clock() {
  static SteadyFanOutClock clock;
  return clock;
}

class ImageFanOut::Cursor : public ImageChunks {
 public:
  Cursor(ImageFanOut& fan_out, std::size_t id) : fan_out_(fan_out), id_(id) {}

  Result<std::span<const std::uint8_t>> next(std::size_t limit) override {
    if (own_reader_) return next_own(limit);
    std::unique_lock lock(fan_out_.mutex_);
    Follower& me = fan_out_.followers_[id_];
    if (current_ && offset_ == current_->size) {
      current_.reset();
      offset_ = 0;
      ++me.index;
      fan_out_.trim();
      fan_out_.room_.notify_all();
    }
    fan_out_.arrived_.wait(lock, [&] {
      return !me.taking || me.index < fan_out_.first_index_ + fan_out_.window_.size() ||
             fan_out_.ended_;
    });
    if (me.on_its_own) {
      if (current_ && offset_ < current_->size) return serve(limit);
      current_.reset();
      lock.unlock();
      RAVIK_RETURN_IF_ERROR(go_on_alone());
      return next_own(limit);
    }
    if (me.left_behind) {
      return fail(codes::kWriteFailed,
                  "This disk took no image data for " +
                      std::to_string(fan_out_.limits_.stall_limit.count() / 1000) +
                      " s while the others waited for it; they went on without it.");
    }
    if (!me.taking) return std::span<const std::uint8_t>();
    if (me.index < fan_out_.first_index_ + fan_out_.window_.size()) {
      me.last_active = fan_out_.clock_.now();
      if (!current_) current_ = fan_out_.window_[me.index - fan_out_.first_index_];
      return serve(limit);
    }
    if (fan_out_.read_error_) return fail(*fan_out_.read_error_);
    return std::span<const std::uint8_t>();
  }

  void stop_taking() override {
    std::lock_guard lock(fan_out_.mutex_);
    current_.reset();
    fan_out_.followers_[id_].taking = false;
    fan_out_.trim();
    fan_out_.room_.notify_all();
  }

 private:
  std::span<const std::uint8_t> serve(std::size_t limit) {
    const std::size_t count = std::min(limit, current_->size - offset_);
    const std::span<const std::uint8_t> bytes(current_->bytes.data() + offset_, count);
    offset_ += count;
    taken_ += count;
    return bytes;
  }

  // The image opened again and read up to where this session stood.
  Result<void> go_on_alone() {
    RAVIK_ASSIGN_OR_RETURN(own_reader_, fan_out_.limits_.reopen());
    own_buffer_.resize(fan_out_.limits_.chunk_bytes);
    for (std::uint64_t skipped = 0; skipped < taken_;) {
      const auto want = static_cast<std::size_t>(
          std::min<std::uint64_t>(own_buffer_.size(), taken_ - skipped));
      RAVIK_ASSIGN_OR_RETURN(const std::size_t count,
                             own_reader_->read(std::span(own_buffer_).first(want)));
      if (count == 0) {
        return fail(codes::kImageMissing,
                    "The image ended sooner when it was read again for a slower disk.");
      }
      skipped += count;
    }
    return {};
  }

  Result<std::span<const std::uint8_t>> next_own(std::size_t limit) {
    if (own_offset_ == own_size_) {
      RAVIK_ASSIGN_OR_RETURN(own_size_, own_reader_->read(own_buffer_));
      own_offset_ = 0;
    }
    const std::size_t count = std::min(limit, own_size_ - own_offset_);
    const std::span<const std::uint8_t> bytes(own_buffer_.data() + own_offset_, count);
    own_offset_ += count;
    taken_ += count;
    return bytes;
  }

  ImageFanOut& fan_out_;
  const std::size_t id_;
  // Held while the session sends from it, so that a session left behind in
  // the middle of a frame never sees its bytes reused.
  std::shared_ptr<Chunk> current_;
  std::size_t offset_ = 0;
  std::uint64_t taken_ = 0;  // image bytes handed to the session so far
  // Once on its own: its reader and the chunk it sends from.
  std::unique_ptr<ImageReader> own_reader_;
  std::vector<std::uint8_t> own_buffer_;
  std::size_t own_size_ = 0;
  std::size_t own_offset_ = 0;
};

ImageFanOut::ImageFanOut(std::unique_ptr<ImageReader> reader, std::size_t sessions,
                         Limits limits, FanOutClock& clock)
    : reader_(std::move(reader)), limits_(limits), clock_(clock), followers_(sessions) {
  for (Follower& follower : followers_) follower.last_active = clock_.now();
  for (std::size_t id = 0; id < sessions; ++id) {
    cursors_.push_back(std::make_unique<Cursor>(*this, id));
  }
  thread_ = std::thread([this] { read_ahead(); });
}

ImageFanOut::~ImageFanOut() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    room_.notify_all();
  }
  thread_.join();
}

ImageChunks& ImageFanOut::session(std::size_t index) { return *cursors_[index]; }

void ImageFanOut::trim() {
  while (!window_.empty() &&
         std::ranges::all_of(followers_, [&](const Follower& follower) {
           return !follower.taking || follower.index > first_index_;
         })) {
    // A chunk still held by a session left behind is not reused.
    if (window_.front().use_count() == 1 && spares_.size() < limits_.window_chunks) {
      spares_.push_back(std::move(window_.front()));
    }
    window_.pop_front();
    ++first_index_;
  }
}

bool ImageFanOut::await_room(std::unique_lock<std::mutex>& lock) {
  while (true) {
    trim();
    const bool anyone_taking = std::ranges::any_of(
        followers_, [](const Follower& follower) { return follower.taking; });
    if (stopping_ || !anyone_taking) return false;
    if (window_.size() < limits_.window_chunks) return true;
    // The window is full: the sessions still at its oldest chunk hold it.
    TimePoint deadline = TimePoint::max();
    const TimePoint now = clock_.now();
    bool left_one_behind = false;
    // Someone took the whole window and waits for more: whoever still
    // stands at its oldest chunk has fallen a window behind.
    const std::uint64_t window_end = first_index_ + window_.size();
    const bool someone_waits = std::ranges::any_of(
        followers_, [&](const Follower& f) { return f.taking && f.index >= window_end; });
    for (Follower& follower : followers_) {
      if (!follower.taking || follower.index != first_index_) continue;
      if (limits_.reopen && someone_waits) {
        follower.taking = false;
        follower.on_its_own = true;
        left_one_behind = true;
      } else if (now - follower.last_active >= limits_.stall_limit) {
        follower.taking = false;
        follower.left_behind = true;
        left_one_behind = true;
      } else {
        deadline = std::min(deadline, follower.last_active + limits_.stall_limit);
      }
    }
    if (left_one_behind) {
      arrived_.notify_all();
      continue;
    }
    clock_.wait_until(room_, lock, deadline);
  }
}

std::shared_ptr<ImageFanOut::Chunk> ImageFanOut::spare_chunk() {
  if (!spares_.empty()) {
    std::shared_ptr<Chunk> chunk = std::move(spares_.back());
    spares_.pop_back();
    return chunk;
  }
  auto chunk = std::make_shared<Chunk>();
  chunk->bytes.resize(limits_.chunk_bytes);
  return chunk;
}

void ImageFanOut::read_ahead() {
  std::unique_lock lock(mutex_);
  while (await_room(lock)) {
    std::shared_ptr<Chunk> chunk = spare_chunk();
    lock.unlock();
    // Only this thread touches a chunk outside the window and the spares.
    auto filled = reader_->read(chunk->bytes);
    lock.lock();
    if (!filled) {
      read_error_ = std::move(filled).error();
      break;
    }
    if (*filled == 0) break;
    chunk->size = *filled;
    window_.push_back(std::move(chunk));
    // The sessions that waited for this chunk were not stalling: their clock
    // starts now.
    const std::uint64_t index = first_index_ + window_.size() - 1;
    for (Follower& follower : followers_) {
      if (follower.index == index) follower.last_active = clock_.now();
    }
    arrived_.notify_all();
  }
  ended_ = true;
  arrived_.notify_all();
}

}  // namespace ravik::job
