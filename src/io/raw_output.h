// RawOutput: the unbuffered byte stream under the protocol's buffered writer
// (a descriptor in the helper, a recording stream in tests and fuzzers). Its
// reading counterpart is ByteSource. Implementations need not be thread-safe.
#ifndef RAVIK_IO_RAW_OUTPUT_H_
#define RAVIK_IO_RAW_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "io/io_error.h"

namespace ravik {

class RawOutput {
 public:
  virtual ~RawOutput() = default;
  // Writes at least one and at most data.size() bytes (data is never empty).
  virtual IoResult<std::size_t> write_some(std::span<const std::uint8_t> data) = 0;
};

}  // namespace ravik

#endif  // RAVIK_IO_RAW_OUTPUT_H_
