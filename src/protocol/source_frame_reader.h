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

#include <cstddef>
#include <cstdint>
#include <memory>
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
  // and the input's own failures unchanged. A frame refused for its tag or
  // byte count is consumed whole; a length over the limit leaves its body
  // unread. Once a read has failed, every later read fails the same way
  // without touching the input, since the input is no longer known to be at a
  // frame boundary the reader may interpret.
  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;

  // Consumes frames up to and including the next abort frame: the data the
  // application had announced (never more than bytes_total in all) and at
  // most one end frame before the abort. On success `finished` and `canceled`
  // are set and the input is aligned on the next control frame. Payload is
  // discarded.
  IoResult<void> drain_until_abort();

  // An end frame was accepted (or a drain reached the abort frame).
  bool finished() const { return finished_; }
  // An abort frame was received.
  bool canceled() const { return canceled_; }
  // Image bytes handed out so far (after a drain: the bytes announced).
  std::uint64_t delivered() const { return delivered_; }

 private:
  struct FrameHead {
    std::uint32_t length;
    std::uint8_t tag;
  };

  IoResult<FrameHead> read_head(const char* limit_text);
  IoResult<std::size_t> read_next_frame(std::span<std::uint8_t> buffer);
  std::size_t hand_out(std::span<std::uint8_t> buffer);
  IoResult<void> drain();

  BufferedInput& input_;  // Not owned; must outlive this.
  std::uint64_t bytes_total_;
  std::uint64_t delivered_ = 0;
  // Payload of the current data frame when the consumer's buffer was too
  // small to take it in one piece; kept between frames to spare allocations.
  std::unique_ptr<std::uint8_t[]> frame_;
  std::size_t frame_capacity_ = 0;
  std::size_t frame_size_ = 0;
  std::size_t position_ = 0;
  bool finished_ = false;
  bool canceled_ = false;
  std::optional<IoError> failure_;
};

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_SOURCE_FRAME_READER_H_
