#include "protocol/buffered_output.h"

#include <cstring>

#include "io/fd_stream.h"

namespace ravik {

BufferedOutput::BufferedOutput(std::unique_ptr<RawOutput> output)
    : output_(std::move(output)),
      buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(kCapacity)) {}

BufferedOutput BufferedOutput::over_fd(UniqueFd fd) {
  return BufferedOutput(std::make_unique<FdOutput>(std::move(fd)));
}

BufferedOutput::~BufferedOutput() {
  if (output_ && size_ > 0) (void)flush();
}

IoResult<void> BufferedOutput::write_all(std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    auto count = output_->write_some(data);
    if (!count) {
      if (count.error().kind == IoErrorKind::kInterrupted) continue;
      return std::unexpected(std::move(count).error());
    }
    data = data.subspan(*count);
  }
  return {};
}

IoResult<void> BufferedOutput::flush() {
  std::size_t written = 0;
  while (written < size_) {
    auto count = output_->write_some(std::span(buffer_.get() + written, size_ - written));
    if (!count) {
      if (count.error().kind == IoErrorKind::kInterrupted) continue;
      std::memmove(buffer_.get(), buffer_.get() + written, size_ - written);
      size_ -= written;
      return std::unexpected(std::move(count).error());
    }
    written += *count;
  }
  size_ = 0;
  return {};
}

IoResult<void> BufferedOutput::write(std::span<const std::uint8_t> data) {
  if (data.size() > kCapacity - size_) {
    if (auto flushed = flush(); !flushed) return flushed;
    if (data.size() >= kCapacity) return write_all(data);
  }
  if (!data.empty()) std::memcpy(buffer_.get() + size_, data.data(), data.size());
  size_ += data.size();
  return {};
}

IoResult<void> BufferedOutput::write(std::string_view text) {
  return write(
      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace ravik
