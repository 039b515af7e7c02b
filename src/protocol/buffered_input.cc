#include "protocol/buffered_input.h"

#include <algorithm>
#include <cstring>

#include "io/fd_stream.h"

namespace ravik {
namespace {

std::unexpected<IoError> ended_early() {
  return std::unexpected(
      IoError::with_text(IoErrorKind::kUnexpectedEof, std::string(kInputEndedEarly)));
}

}  // namespace

BufferedInput::BufferedInput(std::unique_ptr<ByteSource> input)
    : input_(std::move(input)),
      buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(kCapacity)) {}

BufferedInput BufferedInput::over_fd(UniqueFd fd) {
  return BufferedInput(std::make_unique<FdInput>(std::move(fd)));
}

IoResult<std::size_t> BufferedInput::read_raw(std::span<std::uint8_t> into) {
  for (;;) {
    auto count = input_->read(into);
    if (count || count.error().kind != IoErrorKind::kInterrupted) return count;
  }
}

IoResult<void> BufferedInput::refill() {
  auto count = read_raw(std::span(buffer_.get(), kCapacity));
  if (!count) return std::unexpected(std::move(count).error());
  if (*count == 0) return ended_early();
  begin_ = 0;
  end_ = *count;
  return {};
}

IoResult<void> BufferedInput::read_exact(std::span<std::uint8_t> out) {
  const std::size_t available = end_ - begin_;
  if (available >= out.size()) {
    if (!out.empty()) std::memcpy(out.data(), buffer_.get() + begin_, out.size());
    begin_ += out.size();
    return {};
  }
  if (available > 0) std::memcpy(out.data(), buffer_.get() + begin_, available);
  begin_ = end_ = 0;
  out = out.subspan(available);
  while (!out.empty()) {
    if (out.size() >= kCapacity) {
      auto count = read_raw(out);
      if (!count) return std::unexpected(std::move(count).error());
      if (*count == 0) return ended_early();
      out = out.subspan(*count);
      continue;
    }
    if (auto filled = refill(); !filled) return filled;
    const std::size_t take = std::min(out.size(), end_);
    std::memcpy(out.data(), buffer_.get(), take);
    begin_ = take;
    out = out.subspan(take);
  }
  return {};
}

IoResult<void> BufferedInput::skip(std::uint64_t count) {
  while (count > 0) {
    if (begin_ == end_) {
      if (auto filled = refill(); !filled) return filled;
    }
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, end_ - begin_));
    begin_ += take;
    count -= take;
  }
  return {};
}

}  // namespace ravik
