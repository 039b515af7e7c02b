// SourceFrameReader: the image that follows an open_write, read from the
// shared input as source frames (a 4-byte big-endian length, a tag byte: 0
// data, 1 end, 2 abort, and for data up to 4 MiB of payload) and presented as
// one byte stream that ends exactly after bytes_total bytes. After a failed
// write, drain_until_abort() consumes what the application still sends up to
// its abort frame, so that the input is aligned on a control frame again.
//
// Borrows the input, which nothing else may read meanwhile. Not thread-safe.
#ifndef RAVIK_PROTOCOL_SOURCE_FRAME_READER_H_
#define RAVIK_PROTOCOL_SOURCE_FRAME_READER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "io/byte_source.h"
#include "io/io_error.h"
#include "protocol/buffered_input.h"

namespace ravik {

// Tag and payload together: up to 4 MiB of payload plus the tag byte.
inline constexpr std::uint32_t kMaxSourceFrameLength = 4'194'305;

class SourceFrameReader final : public ByteSource {
 public:
  SourceFrameReader(BufferedInput& input, std::uint64_t bytes_total)
      : input_(input), bytes_total_(bytes_total) {}

  // Hands out image bytes; 0 means the image ended (an end frame after
  // exactly bytes_total bytes) or `buffer` is empty. A call never spans two
  // frames. Errors: kInvalidData for a bad length, tag or byte count (no byte
  // of a refused data frame is handed out), kUnexpectedEof for an end frame
  // that came early, kConnectionAborted for the application's abort frame,
  // and the input's own failures unchanged. Once a read has failed, every
  // later read fails the same way without touching the input.
  //
  // A wake-up of the input (a cancellation while the stream stalls) ends the
  // call early: with the bytes already handed out, or with kInterrupted when
  // there are none. Nothing is lost: the next read or drain goes on from the
  // same place in the stream.
  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;

  // Consumes frames up to and including the next abort frame: the rest of
  // the current frame, the data the application had announced (never more
  // than bytes_total in all) and at most one end frame before the abort. On
  // success `finished` and `canceled` are set and the input is aligned on the
  // next control frame. Payload is discarded. Refuses at once, reading
  // nothing, when the stream is misaligned; succeeds at once, reading
  // nothing, when a read already took the abort frame.
  IoResult<void> drain_until_abort();

  // An end frame was accepted (or a drain reached the abort frame).
  bool finished() const { return finished_; }
  // An abort frame was received.
  bool canceled() const { return canceled_; }
  // The input stopped inside a frame whose end is unknown: after a length
  // over the limit (its body unread) or a failure of the input itself. What
  // follows is untrusted image content that can no longer be told from
  // frames, so the input must never be read again.
  bool misaligned() const { return misaligned_; }
  // Image bytes handed out so far (after a drain: the bytes announced).
  std::uint64_t delivered() const { return delivered_; }

 private:
  struct FrameHead {
    std::uint32_t length;
    std::uint8_t tag;
  };

  IoResult<std::size_t> read_frames(std::span<std::uint8_t> buffer);
  // Completes the 5-byte head of the next frame, going on from what an
  // interrupted call left; the length is checked as soon as it is complete.
  IoResult<FrameHead> read_head(bool interruptible, const char* limit_text);
  // Fills `into` from the input. Interruptible: a wake-up returns the count
  // so far, or kInterrupted when it is 0. Otherwise wake-ups are ignored.
  IoResult<std::size_t> fill(std::span<std::uint8_t> into, bool interruptible);
  IoResult<void> skip(std::uint64_t count);
  IoResult<void> drain();

  BufferedInput& input_;  // Not owned; must outlive this.
  std::uint64_t bytes_total_;
  std::uint64_t delivered_ = 0;
  std::array<std::uint8_t, 5> head_{};
  std::size_t head_filled_ = 0;
  // Payload of the current (accepted) data frame still on the input.
  std::uint64_t payload_left_ = 0;
  // Bytes of a refused frame still on the input, consumed by a drain.
  std::uint64_t refused_left_ = 0;
  bool finished_ = false;
  bool canceled_ = false;
  bool misaligned_ = false;
  std::optional<IoError> failure_;
};

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_SOURCE_FRAME_READER_H_
