#include "protocol/source_frame_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace ravik {
namespace {

constexpr std::uint8_t kDataTag = 0;
constexpr std::uint8_t kEndTag = 1;
constexpr std::uint8_t kAbortTag = 2;

std::unexpected<IoError> invalid(const char* text) {
  return std::unexpected(IoError::with_text(IoErrorKind::kInvalidData, text));
}

bool adds_past(std::uint64_t sum, std::uint64_t add, std::uint64_t limit,
               bool& overflow) {
  overflow = add > std::numeric_limits<std::uint64_t>::max() - sum;
  return overflow || sum + add > limit;
}

}  // namespace

IoResult<SourceFrameReader::FrameHead> SourceFrameReader::read_head(
    const char* limit_text) {
  std::array<std::uint8_t, 4> prefix;
  if (auto read = input_.read_exact(prefix); !read) return std::unexpected(read.error());
  const std::uint32_t length = (std::uint32_t{prefix[0]} << 24) |
                               (std::uint32_t{prefix[1]} << 16) |
                               (std::uint32_t{prefix[2]} << 8) | std::uint32_t{prefix[3]};
  if (length == 0 || length > kMaxSourceFrameLength) return invalid(limit_text);
  std::uint8_t tag = 0;
  if (auto read = input_.read_exact(std::span(&tag, 1)); !read) {
    return std::unexpected(read.error());
  }
  return FrameHead{length, tag};
}

std::size_t SourceFrameReader::hand_out(std::span<std::uint8_t> buffer) {
  const std::size_t count = std::min(buffer.size(), frame_size_ - position_);
  std::memcpy(buffer.data(), frame_.get() + position_, count);
  position_ += count;
  delivered_ += count;
  return count;
}

IoResult<std::size_t> SourceFrameReader::read(std::span<std::uint8_t> buffer) {
  if (buffer.empty() || finished_) return 0;
  if (failure_) return std::unexpected(*failure_);
  if (position_ < frame_size_) return hand_out(buffer);
  auto count = read_next_frame(buffer);
  if (!count) failure_ = count.error();
  return count;
}

IoResult<std::size_t> SourceFrameReader::read_next_frame(std::span<std::uint8_t> buffer) {
  frame_size_ = position_ = 0;
  auto head = read_head("source frame exceeds the protocol limit");
  if (!head) return std::unexpected(std::move(head).error());
  const std::size_t payload = head->length - 1;

  if (head->tag == kDataTag && payload > 0) {
    bool overflow = false;
    if (adds_past(delivered_, payload, bytes_total_, overflow)) {
      // The refused frame is still consumed whole, so that the input stays on
      // a frame boundary for a drain.
      if (auto skipped = input_.skip(payload); !skipped) {
        return std::unexpected(skipped.error());
      }
      return invalid(overflow ? "source length overflow"
                              : "source stream contained trailing bytes");
    }
    if (buffer.size() >= payload) {
      // The whole payload fits: it goes straight into the consumer's buffer.
      if (auto read = input_.read_exact(buffer.first(payload)); !read) {
        return std::unexpected(read.error());
      }
      delivered_ += payload;
      return payload;
    }
    if (frame_capacity_ < payload) {
      frame_.reset();
      frame_ = std::make_unique_for_overwrite<std::uint8_t[]>(payload);
      frame_capacity_ = payload;
    }
    if (auto read = input_.read_exact(std::span(frame_.get(), payload)); !read) {
      return std::unexpected(read.error());
    }
    frame_size_ = payload;
    return hand_out(buffer);
  }

  if (auto skipped = input_.skip(payload); !skipped)
    return std::unexpected(skipped.error());
  if (head->tag == kEndTag && payload == 0) {
    if (delivered_ != bytes_total_) {
      return std::unexpected(IoError::with_text(IoErrorKind::kUnexpectedEof,
                                                "source stream ended before bytesTotal"));
    }
    finished_ = true;
    return 0;
  }
  if (head->tag == kAbortTag && payload == 0) {
    canceled_ = true;
    return std::unexpected(IoError::with_text(IoErrorKind::kConnectionAborted,
                                              "source stream was canceled"));
  }
  return invalid("invalid source frame tag");
}

IoResult<void> SourceFrameReader::drain_until_abort() {
  auto drained = drain();
  if (!drained) failure_ = drained.error();
  return drained;
}

IoResult<void> SourceFrameReader::drain() {
  std::uint64_t announced = delivered_;
  bool overflow = false;
  if (adds_past(announced, frame_size_ - position_, bytes_total_, overflow)) {
    return invalid(overflow ? "source drain length overflow"
                            : "source drain exceeded bytesTotal");
  }
  announced += frame_size_ - position_;
  frame_size_ = position_ = 0;
  finished_ = false;

  bool end_seen = false;
  for (;;) {
    auto head = read_head("source drain frame exceeds the protocol limit");
    if (!head) return std::unexpected(std::move(head).error());
    const std::size_t payload = head->length - 1;
    if (auto skipped = input_.skip(payload); !skipped) {
      return std::unexpected(skipped.error());
    }
    if (head->tag == kAbortTag && payload == 0) {
      finished_ = true;
      canceled_ = true;
      delivered_ = announced;
      failure_.reset();
      return {};
    }
    if (head->tag == kEndTag && payload == 0 && !end_seen) {
      end_seen = true;
      continue;
    }
    if (head->tag == kDataTag && payload > 0 && !end_seen) {
      if (adds_past(announced, payload, bytes_total_, overflow)) {
        return invalid("source drain exceeded bytesTotal");
      }
      announced += payload;
      continue;
    }
    return invalid("invalid source drain frame tag");
  }
}

}  // namespace ravik
