// RawOutput: the unbuffered byte stream under the protocol's buffered writer
// (a descriptor in the helper, a recording stream in tests and fuzzers). Its
// reading counterpart is ByteSource. Implementations need not be thread-safe.
#ifndef RAVIK_IO_RAW_OUTPUT_H_
#define RAVIK_IO_RAW_OUTPUT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "io/io_error.h"

namespace ravik {

// What the writing thread does while a write waits for the reader: `call`
// runs on it at least every `interval` of the wait. No call: the write
// blocks as the descriptor does.
struct WaitService {
  std::chrono::milliseconds interval{0};
  std::function<void()> call;
};

class RawOutput {
 public:
  virtual ~RawOutput() = default;
  // Writes at least one and at most data.size() bytes (data is never empty).
  virtual IoResult<std::size_t> write_some(std::span<const std::uint8_t> data) = 0;
  // Applies to the writes that follow; an output that never waits ignores it.
  virtual void serve_while_waiting(WaitService service) { (void)service; }
};

}  // namespace ravik

#endif  // RAVIK_IO_RAW_OUTPUT_H_
