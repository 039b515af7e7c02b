#include "transaction/source_pipeline.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "transaction/cancellation.h"
#include "transaction/source_reads.h"
#include "transaction/thread_name.h"

namespace ravik {

SourcePipeline::SourcePipeline(ByteSource& source, Sha256& hasher,
                               std::uint64_t& source_bytes_read,
                               const std::atomic<bool>& cancel_flag,
                               std::function<void()> wake_source,
                               TransferBufferPool& buffers)
    : source_(source),
      hasher_(hasher),
      source_bytes_read_(source_bytes_read),
      cancel_flag_(cancel_flag),
      wake_source_(std::move(wake_source)),
      buffers_(buffers) {}

SourcePipeline::~SourcePipeline() { stop_and_join(); }

Result<void> SourcePipeline::start(const SourcePipelinePlan& plan) {
  plan_ = plan;
  const std::uint64_t body = plan.total - plan.begin;
  const std::size_t carry_room =
      plan.aligned_io ? static_cast<std::size_t>(plan.block_size) : 0;
  const std::size_t capacity =
      static_cast<std::size_t>(std::min<std::uint64_t>(plan.read_bytes, body)) +
      carry_room;
  RAVIK_ASSIGN_OR_RETURN(ring_, buffers_.take(kSlots, plan.block_size, capacity));
  for (std::size_t index = 0; index < kSlots; ++index)
    slots_[index].buffer = ring_[index];
  placement_.begin();
  try {
    hasher_thread_ = std::thread([this] { hash_chunks(); });
    reader_ = std::thread([this] { read_chunks(); });
  } catch (const std::system_error& error) {
    stop_and_join();
    return fail(HelperError::io(codes::kUnknown, "Could not start the image pipeline",
                                error.code().value()));
  }
  return {};
}

void SourcePipeline::stop_and_join() {
  bool wake = false;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    abandoned_.store(true, std::memory_order_release);
    wake = reading_;
  }
  changed_.notify_all();
  // The application may hold back its next frame until it hears of the
  // failure that stopped the writer; the read must not wait for it.
  if (wake && wake_source_) wake_source_();
  if (reader_.joinable()) reader_.join();
  if (hasher_thread_.joinable()) hasher_thread_.join();
}

void SourcePipeline::finish() {
  if (reader_.joinable()) reader_.join();
  // With the reader done, the hasher ends after the last published chunk.
  if (hasher_thread_.joinable()) hasher_thread_.join();
  placement_.release_caller();
}

Result<void> SourcePipeline::read_into(Slot& slot, std::uint64_t& consumed) {
  const auto wanted = static_cast<std::size_t>(
      std::min<std::uint64_t>(plan_.read_bytes, plan_.total - consumed));
  RAVIK_ASSIGN_OR_RETURN(
      const std::size_t count,
      read_source_with_retry(source_, slot.buffer.subspan(slot.carried, wanted),
                             cancel_flag_, &abandoned_));
  RAVIK_RETURN_IF_ERROR(check_cancel_flag(cancel_flag_));
  if (count == 0) {
    return fail(codes::kImageMissing, "The source stream ended after " +
                                          std::to_string(consumed) + " of " +
                                          std::to_string(plan_.total) + " bytes.");
  }
  consumed += count;
  source_bytes_read_ = consumed;
  slot.length = slot.carried + count;
  slot.whole =
      plan_.aligned_io
          ? slot.length - slot.length % static_cast<std::size_t>(plan_.block_size)
          : slot.length;
  slot.source_bytes_read = consumed;
  return {};
}

void SourcePipeline::read_chunks() {
  name_current_thread("ravik-source");
  std::uint64_t consumed = plan_.begin;
  const Slot* previous = nullptr;
  std::optional<HelperError> failure;
  for (std::uint64_t index = 0; consumed < plan_.total; ++index) {
    {
      std::unique_lock lock(mutex_);
      // A buffer is free again once its chunk was both written and hashed.
      changed_.wait(lock, [&] {
        return stopping_ || index < std::min(released_, hashed_) + kSlots;
      });
      if (stopping_) break;
      reading_ = true;
    }
    if (index == StagePlacement::kPlacedChunks) placement_.release_current_thread();
    Slot& slot = slots_[index % kSlots];
    slot.carried = previous == nullptr ? 0 : previous->length - previous->whole;
    if (slot.carried > 0) {
      std::memcpy(slot.buffer.data(), previous->buffer.data() + previous->whole,
                  slot.carried);
    }
    auto read = read_into(slot, consumed);
    {
      const std::lock_guard lock(mutex_);
      reading_ = false;
      if (read) filled_ = index + 1;
    }
    if (!read) {
      failure = std::move(read).error();
      break;
    }
    changed_.notify_all();
    previous = &slot;
  }
  {
    const std::lock_guard lock(mutex_);
    reader_done_ = true;
    reader_failure_ = std::move(failure);
  }
  changed_.notify_all();
}

void SourcePipeline::hash_chunks() {
  name_current_thread("ravik-hasher");
  placement_.place_hasher();
  for (std::uint64_t index = 0;; ++index) {
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || reader_done_ || index < filled_; });
      // After a stop the digest is of no use to anyone.
      if (stopping_ || index >= filled_) return;
    }
    if (index == StagePlacement::kPlacedChunks) placement_.release_current_thread();
    const Slot& slot = slots_[index % kSlots];
    hasher_.update(slot.buffer.subspan(slot.carried, slot.length - slot.carried));
    {
      const std::lock_guard lock(mutex_);
      hashed_ = index + 1;
    }
    changed_.notify_all();
  }
}

Result<std::optional<SourceChunk>> SourcePipeline::next() {
  std::unique_lock lock(mutex_);
  if (released_ < handed_) {
    released_ = handed_;
    changed_.notify_all();
  }
  const auto can_hand_out = [&] { return handed_ < filled_ && handed_ <= hashed_; };
  changed_.wait(lock,
                [&] { return can_hand_out() || (reader_done_ && handed_ >= filled_); });
  if (can_hand_out()) {
    const Slot& slot = slots_[handed_ % kSlots];
    if (handed_ == StagePlacement::kPlacedChunks) placement_.release_caller();
    ++handed_;
    const auto bytes = slot.buffer.first(slot.length);
    return SourceChunk{.blocks = bytes.first(slot.whole),
                       .remainder = bytes.subspan(slot.whole),
                       .source_bytes_read = slot.source_bytes_read};
  }
  if (reader_failure_) return std::unexpected(*reader_failure_);
  return std::nullopt;
}

}  // namespace ravik
