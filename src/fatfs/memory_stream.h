// MemoryStream: a fixed-size Stream over bytes in memory, for tests, fuzzing
// and callers that build small images in memory. It never grows: a write
// that would pass the end fails whole. Not thread-safe.
#ifndef RAVIK_FATFS_MEMORY_STREAM_H_
#define RAVIK_FATFS_MEMORY_STREAM_H_

#include <cstdint>
#include <vector>

#include "fatfs/stream.h"

namespace fatfs {

class MemoryStream final : public Stream {
 public:
  explicit MemoryStream(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

  Result<std::size_t> read(std::span<std::uint8_t> buffer) override;
  Result<std::size_t> write(std::span<const std::uint8_t> data) override;
  Result<std::uint64_t> seek(std::int64_t offset, SeekFrom from) override;
  Result<void> flush() override { return {}; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t position_ = 0;
};

}  // namespace fatfs

#endif  // RAVIK_FATFS_MEMORY_STREAM_H_
