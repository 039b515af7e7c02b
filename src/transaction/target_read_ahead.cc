#include "transaction/target_read_ahead.h"

#include <algorithm>
#include <system_error>

#include "transaction/cancellation.h"
#include "transaction/target_reads.h"
#include "transaction/thread_name.h"

namespace ravik {

TargetReadAhead::TargetReadAhead(HeldDeviceIo& device,
                                 const std::atomic<bool>& cancel_flag,
                                 TransferBufferPool& buffers)
    : device_(device), cancel_flag_(cancel_flag), buffers_(buffers) {}

TargetReadAhead::~TargetReadAhead() { stop_and_join(); }

Result<void> TargetReadAhead::start(std::uint64_t offset, std::uint64_t length,
                                    std::size_t step) {
  offset_ = offset;
  length_ = length;
  step_ = static_cast<std::size_t>(std::min<std::uint64_t>(step, length));
  RAVIK_ASSIGN_OR_RETURN(slots_,
                         buffers_.take(kSlots, device_.logical_block_size(), step_));
  try {
    reader_ = std::thread([this] { read_steps(); });
  } catch (const std::system_error& error) {
    return fail(HelperError::io(codes::kUnknown, "Could not start the target reader",
                                error.code().value()));
  }
  return {};
}

void TargetReadAhead::stop_and_join() {
  order_.stop();
  if (reader_.joinable()) reader_.join();
}

void TargetReadAhead::read_steps() {
  name_current_thread("ravik-readback");
  std::optional<HelperError> failure;
  for (std::uint64_t done = 0; done < length_;) {
    const std::optional<std::uint64_t> index = order_.claim();
    if (!index) break;
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(step_, length_ - done));
    Result<void> read = check_cancel_flag(cancel_flag_);
    if (read) {
      read = read_target_range(device_, offset_ + done,
                               slots_[*index % kSlots].first(count));
    }
    if (!read) {
      failure = std::move(read).error();
      break;
    }
    done += count;
    order_.publish();
  }
  order_.close(std::move(failure));
}

Result<std::span<const std::uint8_t>> TargetReadAhead::next() {
  RAVIK_ASSIGN_OR_RETURN(const std::optional<std::uint64_t> index, order_.next(0));
  if (!index) return fail(codes::kUnknown, "The target range was read to its end.");
  const std::uint64_t done = *index * step_;
  const auto count =
      static_cast<std::size_t>(std::min<std::uint64_t>(step_, length_ - done));
  return std::span<const std::uint8_t>(slots_[*index % kSlots].first(count));
}

}  // namespace ravik
