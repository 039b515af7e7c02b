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
  RAVIK_ASSIGN_OR_RETURN(buffers_loan_, buffers_.take(kSlots, plan.block_size, capacity));
  for (std::size_t index = 0; index < kSlots; ++index)
    slots_[index].buffer = buffers_loan_[index];
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
    const std::lock_guard lock(read_mutex_);
    abandoned_.store(true, std::memory_order_release);
    wake = reading_;
  }
  order_.stop();
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
  while (consumed < plan_.total) {
    // A buffer is free again once its chunk was both hashed and written.
    const std::optional<std::uint64_t> index = order_.claim();
    if (!index) break;
    {
      const std::lock_guard lock(read_mutex_);
      if (abandoned_.load(std::memory_order_relaxed)) break;
      reading_ = true;
    }
    Slot& slot = slots_[*index % kSlots];
    slot.carried = previous == nullptr ? 0 : previous->length - previous->whole;
    if (slot.carried > 0) {
      std::memcpy(slot.buffer.data(), previous->buffer.data() + previous->whole,
                  slot.carried);
    }
    auto read = read_into(slot, consumed);
    {
      const std::lock_guard lock(read_mutex_);
      reading_ = false;
    }
    if (!read) {
      failure = std::move(read).error();
      break;
    }
    order_.publish();
    previous = &slot;
  }
  order_.close(std::move(failure));
}

void SourcePipeline::hash_chunks() {
  name_current_thread("ravik-hasher");
  // Ends at the last chunk, at a failure of the source and after a stop
  // (when the digest is of no use to anyone).
  while (true) {
    const auto index = order_.next(kHasher);
    if (!index || !*index) return;
    const Slot& slot = slots_[**index % kSlots];
    hasher_.update(slot.buffer.subspan(slot.carried, slot.length - slot.carried));
  }
}

Result<std::optional<SourceChunk>> SourcePipeline::next() {
  RAVIK_ASSIGN_OR_RETURN(const std::optional<std::uint64_t> index, order_.next(kWriter));
  if (!index) return std::nullopt;
  const Slot& slot = slots_[*index % kSlots];
  const auto bytes = slot.buffer.first(slot.length);
  return SourceChunk{.blocks = bytes.first(slot.whole),
                     .remainder = bytes.subspan(slot.whole),
                     .source_bytes_read = slot.source_bytes_read};
}

}  // namespace ravik
