// Device: positioned, all-or-nothing reads and writes over a borrowed Stream,
// the only way the rest of the library touches storage. It knows the
// stream's size (learnt once by seeking to the end) and refuses any access
// beyond it before issuing I/O, so untrusted offsets from a volume never
// reach the stream. Not thread-safe.
#ifndef RAVIK_FATFS_DEVICE_H_
#define RAVIK_FATFS_DEVICE_H_

#include <cstdint>
#include <span>

#include "fatfs/error.h"
#include "fatfs/stream.h"

namespace fatfs {

class Device {
 public:
  // Learns the stream's size by seeking to its end.
  static Result<Device> open(Stream& stream);

  std::uint64_t size() const { return size_; }

  // Fills `buffer` from byte `offset`; a short stream is an error.
  Result<void> read_at(std::uint64_t offset, std::span<std::uint8_t> buffer);
  // Writes all of `data` at byte `offset`.
  Result<void> write_at(std::uint64_t offset, std::span<const std::uint8_t> data);
  // Writes `length` zero bytes from byte `offset`.
  Result<void> zero_at(std::uint64_t offset, std::uint64_t length);
  // Flushes the stream if anything was written since the last flush.
  Result<void> flush();

 private:
  Device(Stream& stream, std::uint64_t size) : stream_(&stream), size_(size) {}
  Result<void> check_range(std::uint64_t offset, std::uint64_t length) const;
  Result<void> seek_to(std::uint64_t offset);

  Stream* stream_;  // Not owned; must outlive this.
  std::uint64_t size_;
  bool unflushed_ = false;
};

}  // namespace fatfs

#endif  // RAVIK_FATFS_DEVICE_H_
