#include "protocol/source_frame_reader.h"

#include <algorithm>
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

IoResult<std::size_t> SourceFrameReader::fill(std::span<std::uint8_t> into,
                                              bool interruptible) {
  std::size_t got = 0;
  while (got < into.size()) {
    auto count = input_.read_some(into.subspan(got));
    if (!count) {
      const IoErrorKind kind = count.error().kind;
      if (kind == IoErrorKind::kInterrupted) {
        if (!interruptible) continue;
        if (got > 0) return got;
        return count;
      }
      // Past the end of the stream there is nothing left to misread; any
      // other failure leaves the position in the stream unknown.
      if (kind != IoErrorKind::kUnexpectedEof) misaligned_ = true;
      return count;
    }
    got += *count;
  }
  return got;
}

IoResult<void> SourceFrameReader::skip(std::uint64_t count) {
  auto skipped = input_.skip(count);
  if (!skipped && skipped.error().kind != IoErrorKind::kUnexpectedEof) misaligned_ = true;
  return skipped;
}

IoResult<SourceFrameReader::FrameHead> SourceFrameReader::read_head(
    bool interruptible, const char* limit_text) {
  const auto complete_to = [&](std::size_t size) -> IoResult<void> {
    if (head_filled_ >= size) return {};
    auto count =
        fill(std::span(head_).subspan(head_filled_, size - head_filled_), interruptible);
    if (!count) return std::unexpected(std::move(count).error());
    head_filled_ += *count;
    if (head_filled_ < size) {
      return std::unexpected(IoError::with_text(IoErrorKind::kInterrupted, "woken"));
    }
    return {};
  };
  if (auto read = complete_to(4); !read) return std::unexpected(std::move(read).error());
  const std::uint32_t length = (std::uint32_t{head_[0]} << 24) |
                               (std::uint32_t{head_[1]} << 16) |
                               (std::uint32_t{head_[2]} << 8) | std::uint32_t{head_[3]};
  if (length == 0 || length > kMaxSourceFrameLength) {
    // A length of 0 has no body; anything over the limit leaves its body,
    // image bytes of unknown extent, unread in front of whatever follows.
    misaligned_ = length != 0;
    head_filled_ = 0;
    return invalid(limit_text);
  }
  if (auto read = complete_to(5); !read) return std::unexpected(std::move(read).error());
  head_filled_ = 0;
  return FrameHead{length, head_[4]};
}

IoResult<std::size_t> SourceFrameReader::read(std::span<std::uint8_t> buffer) {
  if (buffer.empty() || finished_) return 0;
  if (failure_) return std::unexpected(*failure_);
  auto count = read_frames(buffer);
  if (!count && count.error().kind != IoErrorKind::kInterrupted) failure_ = count.error();
  return count;
}

IoResult<std::size_t> SourceFrameReader::read_frames(std::span<std::uint8_t> buffer) {
  if (payload_left_ == 0) {
    auto head =
        read_head(/*interruptible=*/true, "source frame exceeds the protocol limit");
    if (!head) return std::unexpected(std::move(head).error());
    const std::size_t payload = head->length - 1;
    if (head->tag == kDataTag && payload > 0) {
      bool overflow = false;
      if (adds_past(delivered_, payload, bytes_total_, overflow)) {
        // Left for a drain to consume, so that the input can get back to a
        // frame boundary.
        refused_left_ = payload;
        return invalid(overflow ? "source length overflow"
                                : "source stream contained trailing bytes");
      }
      payload_left_ = payload;
    } else if (head->tag == kEndTag && payload == 0) {
      if (delivered_ != bytes_total_) {
        return std::unexpected(IoError::with_text(
            IoErrorKind::kUnexpectedEof, "source stream ended before bytesTotal"));
      }
      finished_ = true;
      return 0;
    } else if (head->tag == kAbortTag && payload == 0) {
      canceled_ = true;
      return std::unexpected(IoError::with_text(IoErrorKind::kConnectionAborted,
                                                "source stream was canceled"));
    } else {
      refused_left_ = payload;
      return invalid("invalid source frame tag");
    }
  }
  const auto wanted =
      static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), payload_left_));
  auto count = fill(buffer.first(wanted), /*interruptible=*/true);
  if (!count) return count;
  payload_left_ -= *count;
  delivered_ += *count;
  return count;
}

IoResult<void> SourceFrameReader::drain_until_abort() {
  auto drained = drain();
  if (!drained) failure_ = drained.error();
  return drained;
}

IoResult<void> SourceFrameReader::drain() {
  if (misaligned_) return invalid("source stream is not aligned on a frame");
  if (canceled_) {
    // A read already took the abort frame: the input is aligned behind it.
    finished_ = true;
    failure_.reset();
    return {};
  }
  std::uint64_t announced = delivered_;
  bool overflow = false;
  if (adds_past(announced, payload_left_, bytes_total_, overflow)) {
    return invalid(overflow ? "source drain length overflow"
                            : "source drain exceeded bytesTotal");
  }
  announced += payload_left_;
  if (auto skipped = skip(payload_left_ + refused_left_); !skipped) return skipped;
  payload_left_ = refused_left_ = 0;
  finished_ = false;

  bool end_seen = false;
  for (;;) {
    auto head = read_head(/*interruptible=*/false,
                          "source drain frame exceeds the protocol limit");
    if (!head) return std::unexpected(std::move(head).error());
    const std::size_t payload = head->length - 1;
    if (auto skipped = skip(payload); !skipped) return skipped;
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
