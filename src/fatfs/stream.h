// Stream: the byte storage a FAT volume lives on, as the library sees it.
// The volume starts at position 0 and its size is what seeking to the end
// reports. Callers supply an implementation (a partition of a device, a file,
// memory); the library only ever reads, writes, seeks and flushes it, never
// concurrently. Implementations need not be thread-safe.
#ifndef RAVIK_FATFS_STREAM_H_
#define RAVIK_FATFS_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "fatfs/error.h"

namespace fatfs {

enum class SeekFrom { kStart, kCurrent, kEnd };

class Stream {
 public:
  virtual ~Stream() = default;

  // Reads up to buffer.size() bytes at the current position and advances it.
  // Returns the count read; 0 means the end of the stream.
  virtual Result<std::size_t> read(std::span<std::uint8_t> buffer) = 0;

  // Writes up to data.size() bytes at the current position and advances it.
  // Returns the count written, which is non-zero for non-empty data.
  virtual Result<std::size_t> write(std::span<const std::uint8_t> data) = 0;

  // Moves the position to `offset` relative to the start, the current
  // position or the end, and returns the new position from the start. A
  // target before the start or beyond the end fails and leaves the position
  // unchanged.
  virtual Result<std::uint64_t> seek(std::int64_t offset, SeekFrom from) = 0;

  // Makes written data durable as far as the storage below allows.
  virtual Result<void> flush() = 0;
};

}  // namespace fatfs

#endif  // RAVIK_FATFS_STREAM_H_
