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
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (reader_.joinable()) reader_.join();
}

void TargetReadAhead::read_steps() {
  name_current_thread("ravik-readback");
  std::optional<HelperError> failure;
  std::uint64_t done = 0;
  for (std::uint64_t index = 0; done < length_; ++index) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || index < released_ + kSlots; });
      if (stopping_) break;
    }
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(step_, length_ - done));
    Result<void> read = check_cancel_flag(cancel_flag_);
    if (read) {
      read =
          read_target_range(device_, offset_ + done, slots_[index % kSlots].first(count));
    }
    if (!read) {
      failure = std::move(read).error();
      break;
    }
    done += count;
    {
      const std::lock_guard lock(mutex_);
      filled_ = index + 1;
    }
    changed_.notify_all();
  }
  {
    const std::lock_guard lock(mutex_);
    reader_done_ = true;
    reader_failure_ = std::move(failure);
  }
  changed_.notify_all();
}

Result<std::span<const std::uint8_t>> TargetReadAhead::next() {
  std::unique_lock lock(mutex_);
  if (released_ < handed_) {
    released_ = handed_;
    changed_.notify_all();
  }
  changed_.wait(lock, [&] { return reader_done_ || handed_ < filled_; });
  if (handed_ < filled_) {
    const std::uint64_t index = handed_++;
    const std::uint64_t done = index * step_;
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(step_, length_ - done));
    return std::span<const std::uint8_t>(slots_[index % kSlots].first(count));
  }
  if (reader_failure_) return std::unexpected(*reader_failure_);
  return fail(codes::kUnknown, "The target range was read to its end.");
}

}  // namespace ravik
