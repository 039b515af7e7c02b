#include "fatfs/device.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace fatfs {

Result<Device> Device::open(Stream& stream) {
  FATFS_ASSIGN_OR_RETURN(size, stream.seek(0, SeekFrom::kEnd));
  return Device(stream, size);
}

Result<void> Device::check_range(std::uint64_t offset, std::uint64_t length) const {
  if (offset > size_ || length > size_ - offset) {
    return fail(ErrorKind::kCorrupt,
                "an access reaches beyond the end of the volume's stream");
  }
  return {};
}

Result<void> Device::seek_to(std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return fail(ErrorKind::kInvalidInput, "stream offset is too large");
  }
  FATFS_ASSIGN_OR_RETURN(
      position, stream_->seek(static_cast<std::int64_t>(offset), SeekFrom::kStart));
  if (position != offset)
    return fail(ErrorKind::kIo, "stream seek ended at the wrong position");
  return {};
}

Result<void> Device::read_at(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  FATFS_TRY(check_range(offset, buffer.size()));
  if (buffer.empty()) return {};
  FATFS_TRY(seek_to(offset));
  while (!buffer.empty()) {
    FATFS_ASSIGN_OR_RETURN(count, stream_->read(buffer));
    if (count == 0) return fail(ErrorKind::kIo, "the stream ended before the volume did");
    if (count > buffer.size())
      return fail(ErrorKind::kIo, "the stream over-reported a read");
    buffer = buffer.subspan(count);
  }
  return {};
}

Result<void> Device::write_at(std::uint64_t offset, std::span<const std::uint8_t> data) {
  FATFS_TRY(check_range(offset, data.size()));
  if (data.empty()) return {};
  FATFS_TRY(seek_to(offset));
  unflushed_ = true;
  while (!data.empty()) {
    FATFS_ASSIGN_OR_RETURN(count, stream_->write(data));
    if (count == 0)
      return fail(ErrorKind::kIo, "the stream accepted no bytes of a write");
    if (count > data.size())
      return fail(ErrorKind::kIo, "the stream over-reported a write");
    data = data.subspan(count);
  }
  return {};
}

Result<void> Device::zero_at(std::uint64_t offset, std::uint64_t length) {
  FATFS_TRY(check_range(offset, length));
  constexpr std::uint64_t kChunk = 1 << 20;
  const std::vector<std::uint8_t> zeros(std::min(length, kChunk), 0);
  while (length > 0) {
    const std::uint64_t n = std::min<std::uint64_t>(length, zeros.size());
    FATFS_TRY(write_at(offset, std::span(zeros.data(), n)));
    offset += n;
    length -= n;
  }
  return {};
}

Result<void> Device::flush() {
  if (!unflushed_) return {};
  FATFS_TRY(stream_->flush());
  unflushed_ = false;
  return {};
}

}  // namespace fatfs
