// BufferedOutput: the one 8192-byte buffered writer over the session's
// standard output. Writes smaller than the free space are only buffered;
// flush() hands everything to the output. Used by the session's main thread
// only; not thread-safe.
#ifndef RAVIK_PROTOCOL_BUFFERED_OUTPUT_H_
#define RAVIK_PROTOCOL_BUFFERED_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "io/io_error.h"
#include "io/raw_output.h"
#include "io/unique_fd.h"

namespace ravik {

class BufferedOutput {
 public:
  static constexpr std::size_t kCapacity = 8192;

  explicit BufferedOutput(std::unique_ptr<RawOutput> output);
  static BufferedOutput over_fd(UniqueFd fd);

  BufferedOutput(BufferedOutput&&) noexcept = default;
  BufferedOutput& operator=(BufferedOutput&&) noexcept = default;
  // Flushes what is still buffered; a failure here is silent, so callers that
  // must report it call flush() first (every event does).
  ~BufferedOutput();

  // On failure the bytes the output accepted stay written and the rest stays
  // buffered, so a later flush never writes a byte twice.
  IoResult<void> write(std::span<const std::uint8_t> data);
  IoResult<void> write(std::string_view text);
  IoResult<void> flush();

  std::size_t buffered() const { return size_; }

 private:
  IoResult<void> write_all(std::span<const std::uint8_t> data);

  std::unique_ptr<RawOutput> output_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t size_ = 0;
};

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_BUFFERED_OUTPUT_H_
