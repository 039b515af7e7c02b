#include "fatfs/memory_stream.h"

#include <algorithm>
#include <cstring>

namespace fatfs {

Result<std::size_t> MemoryStream::read(std::span<std::uint8_t> buffer) {
  if (position_ >= bytes_.size()) return 0;
  const std::size_t n = std::min<std::uint64_t>(buffer.size(), bytes_.size() - position_);
  std::memcpy(buffer.data(), bytes_.data() + position_, n);
  position_ += n;
  return n;
}

Result<std::size_t> MemoryStream::write(std::span<const std::uint8_t> data) {
  if (position_ > bytes_.size() || data.size() > bytes_.size() - position_) {
    return fail(ErrorKind::kIo, "write passes the end of the memory stream");
  }
  if (!data.empty()) std::memcpy(bytes_.data() + position_, data.data(), data.size());
  position_ += data.size();
  return data.size();
}

Result<std::uint64_t> MemoryStream::seek(std::int64_t offset, SeekFrom from) {
  std::int64_t base = 0;
  if (from == SeekFrom::kCurrent) base = static_cast<std::int64_t>(position_);
  if (from == SeekFrom::kEnd) base = static_cast<std::int64_t>(bytes_.size());
  const std::int64_t target = base + offset;
  if ((offset > 0 && target < base) || target < 0 ||
      static_cast<std::uint64_t>(target) > bytes_.size()) {
    return fail(ErrorKind::kInvalidInput, "seek target is outside the memory stream");
  }
  position_ = static_cast<std::uint64_t>(target);
  return position_;
}

}  // namespace fatfs
