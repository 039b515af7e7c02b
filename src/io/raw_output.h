// RawInput and RawOutput: the unbuffered byte streams under the protocol's
// buffered reader and writer (a descriptor in the helper, scripted streams in
// tests and fuzzers). Implementations need not be thread-safe.
#ifndef RAVIK_IO_RAW_OUTPUT_H_
#define RAVIK_IO_RAW_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "io/io_error.h"

namespace ravik {

class RawInput {
 public:
  virtual ~RawInput() = default;
  // Reads at least one and at most buffer.size() bytes (buffer is never
  // empty); 0 means end of stream.
  virtual IoResult<std::size_t> read_some(std::span<std::uint8_t> buffer) = 0;
};

class RawOutput {
 public:
  virtual ~RawOutput() = default;
  // Writes at least one and at most data.size() bytes (data is never empty).
  virtual IoResult<std::size_t> write_some(std::span<const std::uint8_t> data) = 0;
};

}  // namespace ravik

#endif  // RAVIK_IO_RAW_OUTPUT_H_
