// MemorySource: a ByteSource over bytes in memory for unit tests, delivering
// them in chosen chunk sizes (cycled) and able to misbehave at chosen source
// offsets: fail with an I/O error kind (abort, interrupted, other), end early,
// or deliver more than the image. A hook runs before each read so a test can
// set a cancel flag midway. Not thread-safe.
#ifndef RAVIK_TESTS_SUPPORT_MEMORY_SOURCE_H_
#define RAVIK_TESTS_SUPPORT_MEMORY_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "io/byte_source.h"
#include "support/pattern_bytes.h"

namespace ravik::testing {

struct SourceFault {
  // Fires on the first read made once this many bytes were delivered.
  std::uint64_t at = 0;
  IoErrorKind kind = IoErrorKind::kOther;
  int times = 1;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::vector<std::uint8_t> bytes,
                        std::vector<std::size_t> chunk_sizes = {});

  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;

  std::vector<SourceFault> faults;
  // The stream ends (reads return 0) once this many bytes were delivered.
  std::optional<std::uint64_t> end_after;
  // Runs before each read with the bytes delivered so far.
  std::function<void(std::uint64_t delivered)> before_read;

  std::uint64_t delivered() const { return delivered_; }
  int reads() const { return reads_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> chunk_sizes_;
  std::size_t next_chunk_ = 0;
  std::uint64_t delivered_ = 0;
  int reads_ = 0;
};

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_SUPPORT_MEMORY_SOURCE_H_
