// ByteSource: a readable byte stream, the one reading interface of the helper:
// the image reaches the image writer through it (the source frame reader),
// the protocol's buffered reader sits on one (a descriptor in the helper,
// scripted streams in tests and fuzzers), and the maintenance line reader
// asks one for single bytes. Implementations need not be thread-safe.
#ifndef RAVIK_IO_BYTE_SOURCE_H_
#define RAVIK_IO_BYTE_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "io/io_error.h"

namespace ravik {

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Reads up to buffer.size() bytes into `buffer`. Returns the count read;
  // 0 means the stream ended (or the buffer was empty).
  virtual IoResult<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
};

}  // namespace ravik

#endif  // RAVIK_IO_BYTE_SOURCE_H_
