#include "job/image_chunks.h"

#include <algorithm>

namespace ravik::job {

ReaderChunks::ReaderChunks(std::unique_ptr<ImageReader> reader, std::size_t buffer_bytes)
    : reader_(std::move(reader)), buffer_(buffer_bytes) {}

Result<std::span<const std::uint8_t>> ReaderChunks::next(std::size_t limit) {
  if (stopped_taking_) return std::span<const std::uint8_t>();
  const std::span<std::uint8_t> room(buffer_.data(), std::min(limit, buffer_.size()));
  RAVIK_ASSIGN_OR_RETURN(const std::size_t filled, reader_->read(room));
  return std::span<const std::uint8_t>(room.data(), filled);
}

}  // namespace ravik::job
