// BufferedInput: the one 8192-byte buffered reader through which the session
// reads every control frame and source frame, in stream order. Small reads are
// served from the buffer; once the buffer is drained, a read of at least the
// buffer's size goes straight into its destination, so a large frame body is
// never copied through the buffer piece by piece. Not thread-safe: one reader
// at a time (the session hands it from the main thread to the command reader).
#ifndef RAVIK_PROTOCOL_BUFFERED_INPUT_H_
#define RAVIK_PROTOCOL_BUFFERED_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "io/byte_source.h"
#include "io/io_error.h"
#include "io/unique_fd.h"

namespace ravik {

// The text of an IoError of kind kUnexpectedEof from BufferedInput.
inline constexpr std::string_view kInputEndedEarly = "input ended early";

class BufferedInput {
 public:
  static constexpr std::size_t kCapacity = 8192;

  explicit BufferedInput(std::unique_ptr<ByteSource> input);
  // Over an owned descriptor (the session's duplicate of standard input).
  static BufferedInput over_fd(UniqueFd fd);

  BufferedInput(BufferedInput&&) noexcept = default;
  BufferedInput& operator=(BufferedInput&&) noexcept = default;

  // Fills `out` completely. Fails with kUnexpectedEof ("input ended early")
  // when the stream ends first, or with the input's own failure; either way
  // the bytes consumed before the failure are gone and the position is
  // unknown. Interrupted reads of the input are repeated.
  IoResult<void> read_exact(std::span<std::uint8_t> out);

  // Consumes and discards `count` bytes; fails like read_exact.
  IoResult<void> skip(std::uint64_t count);

  // Bytes read from the input but not yet consumed.
  std::size_t buffered() const { return end_ - begin_; }

 private:
  IoResult<std::size_t> read_raw(std::span<std::uint8_t> into);
  // Refills the empty buffer; fails with kUnexpectedEof at end of stream.
  IoResult<void> refill();

  std::unique_ptr<ByteSource> input_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_BUFFERED_INPUT_H_
