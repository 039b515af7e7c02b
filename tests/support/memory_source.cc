#include "support/memory_source.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace ravik::testing {

MemorySource::MemorySource(std::vector<std::uint8_t> bytes,
                           std::vector<std::size_t> chunk_sizes)
    : bytes_(std::move(bytes)), chunk_sizes_(std::move(chunk_sizes)) {}

IoResult<std::size_t> MemorySource::read(std::span<std::uint8_t> buffer) {
  ++reads_;
  if (before_read) before_read(delivered_);
  for (SourceFault& fault : faults) {
    if (fault.times > 0 && delivered_ >= fault.at) {
      --fault.times;
      if (fault.kind == IoErrorKind::kInterrupted) {
        return std::unexpected(
            IoError{.kind = fault.kind, .os_error = EINTR, .text = {}});
      }
      return std::unexpected(IoError::with_text(fault.kind, "injected source failure"));
    }
  }
  std::uint64_t available = bytes_.size() - delivered_;
  if (end_after)
    available = std::min(available, *end_after - std::min(*end_after, delivered_));
  std::size_t count =
      static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), available));
  if (!chunk_sizes_.empty()) {
    count = std::min(count, chunk_sizes_[next_chunk_ % chunk_sizes_.size()]);
    ++next_chunk_;
  }
  std::memcpy(buffer.data(), bytes_.data() + delivered_, count);
  delivered_ += count;
  return count;
}

}  // namespace ravik::testing
