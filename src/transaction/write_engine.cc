#include "transaction/write_engine.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <span>

#include "io/sha256.h"
#include "transaction/cancellation.h"
#include "transaction/rates.h"
#include "transaction/source_pipeline.h"
#include "transaction/source_reads.h"
#include "transaction/target_reads.h"
#include "transaction/target_writes.h"
#include "transaction/transfer_buffer.h"

namespace ravik {
namespace {

// Handed to the device loops of the prefix commit, which must not stop halfway.
const std::atomic<bool> kNeverCanceled{false};

bool is_power_of_two(std::uint64_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

// One run of the engine: the working values that live from the first check
// to the final identity proof.
class ImageWriter {
 public:
  ImageWriter(HeldDeviceIo& device, const ImageWritePlan& plan, ByteSource& source,
              const WriteProgress& progress, WriteCounters& counters,
              const std::atomic<bool>& cancel_flag, const WakeSource& wake_source,
              TransferBufferPool& buffers, const WritePhaseProgress& phases)
      : device_(device),
        plan_(plan),
        source_(source),
        progress_(progress),
        counters_(counters),
        cancel_flag_(cancel_flag),
        wake_source_(wake_source),
        buffers_(buffers),
        phases_(phases) {}

  Result<WriteOutcome> run() {
    // Open-time validation guarantees this; the engine's own arithmetic
    // relies on it, so it does not take it on trust.
    if (plan_.protected_prefix_bytes > plan_.bytes_total) {
      return fail(codes::kProtocolError,
                  "protectedPrefixBytes exceeds the source or protocol limit.");
    }
    RAVIK_RETURN_IF_ERROR(check_geometry());
    RAVIK_RETURN_IF_ERROR(plan_target_length());
    if (plan_.protected_prefix_bytes > 0) RAVIK_RETURN_IF_ERROR(take_prefix_and_blank());
    RAVIK_RETURN_IF_ERROR(write_body());
    RAVIK_RETURN_IF_ERROR(check_end_of_stream());
    RAVIK_RETURN_IF_ERROR(write_tail());
    RAVIK_RETURN_IF_ERROR(report_phase(WritePhase::kFlush, plan_.bytes_total));
    RAVIK_RETURN_IF_ERROR(device_.sync_all());
    const std::string digest = whole_hasher_.finish_hex();
    if (digest != plan_.expected_sha256) {
      return fail(codes::kImageMissing,
                  "The source changed after preparation; prepare the image again before "
                  "retrying.");
    }
    if (plan_.protected_prefix_bytes > 0) {
      RAVIK_RETURN_IF_ERROR(commit_prefix(digest));
      // A cancellation that came during the commit stays set for the next
      // operation: the image is whole on the target, so the write is not
      // reported as canceled.
      RAVIK_RETURN_IF_ERROR(device_.verify_current_identity());
    } else {
      RAVIK_RETURN_IF_ERROR(device_.verify_current_identity());
      RAVIK_RETURN_IF_ERROR(ensure_not_canceled());
    }
    return WriteOutcome{
        .source_sha256 = digest,
        .bytes_written = plan_.bytes_total,
        .target_bytes_written = target_length_,
        .write_duration_ms = whole_milliseconds(write_duration_),
        .write_speed_bps = write_speed_bps(plan_.bytes_total, write_duration_),
        .protected_prefix_bytes = plan_.protected_prefix_bytes,
        .protected_body_verified = true,
        .protected_prefix_verified = true,
    };
  }

 private:
  Result<void> ensure_not_canceled() const { return check_cancel_flag(cancel_flag_); }

  Result<void> report_progress(std::uint64_t source_bytes_read) const {
    if (!progress_) return {};
    return progress_(source_bytes_read);
  }

  Result<void> report_phase(WritePhase phase, std::uint64_t bytes_done) const {
    if (!phases_) return {};
    return phases_(phase, bytes_done);
  }

  Result<void> check_geometry() {
    block_size_ = device_.logical_block_size();
    if (!is_power_of_two(block_size_)) {
      return fail(codes::kDeviceNotRemovable,
                  "The held target reported an invalid logical block size.");
    }
    aligned_ = device_.requires_aligned_io();
    if (aligned_ && plan_.protected_prefix_bytes % block_size_ != 0) {
      return fail(codes::kWriteFailed,
                  "The protected prefix is not aligned to the target's logical block "
                  "size.");
    }
    return {};
  }

  Result<void> plan_target_length() {
    const std::uint64_t total = plan_.bytes_total;
    if (plan_.tail_policy == TailPolicy::kExact) {
      if (aligned_ && total % block_size_ != 0) {
        return fail(codes::kWriteFailed,
                    "The exact write is not aligned to the target's logical block size.");
      }
      target_length_ = total;
    } else {
      if (total > std::numeric_limits<std::uint64_t>::max() - (block_size_ - 1)) {
        return fail(codes::kDeviceTooSmall, "Padded write size overflow.");
      }
      target_length_ = (total + block_size_ - 1) / block_size_ * block_size_;
    }
    if (device_.capacity() < target_length_) {
      return fail(codes::kDeviceTooSmall,
                  "The sector-aligned source does not fit on the selected target.");
    }
    return {};
  }

  Result<void> seek_to(std::uint64_t position) {
    if (auto sought = device_.seek(SeekFrom::start(position)); !sought) {
      return std::unexpected(write_io(sought.error()));
    }
    write_position_ = position;
    return {};
  }

  // Takes the prefix out of the stream and blanks the target's prefix area,
  // durably, before any body byte is written: from here until the commit the
  // target holds either its old prefix or zeros there.
  Result<void> take_prefix_and_blank() {
    const std::uint64_t prefix_length = plan_.protected_prefix_bytes;
    RAVIK_ASSIGN_OR_RETURN(
        prefix_storage_,
        allocate_transfer_buffer(block_size_, static_cast<std::size_t>(prefix_length)));
    prefix_ = prefix_storage_.span().first(static_cast<std::size_t>(prefix_length));
    RAVIK_RETURN_IF_ERROR(read_exact_counted(
        source_, prefix_, counters_.source_bytes_read, whole_hasher_, cancel_flag_));
    RAVIK_RETURN_IF_ERROR(ensure_not_canceled());
    RAVIK_RETURN_IF_ERROR(report_progress(counters_.source_bytes_read));
    RAVIK_RETURN_IF_ERROR(seek_to(0));
    const auto zeros_length = static_cast<std::size_t>(
        std::min<std::uint64_t>(prefix_length, kZeroBufferBytes));
    RAVIK_ASSIGN_OR_RETURN(const TransferBufferPool::Loan zero_buffer,
                           buffers_.take(1, block_size_, zeros_length));
    std::memset(zero_buffer[0].data(), 0, zeros_length);
    const auto zeros = std::span<const std::uint8_t>(zero_buffer[0]).first(zeros_length);
    std::uint64_t blanked = 0;
    while (blanked < prefix_length) {
      RAVIK_RETURN_IF_ERROR(ensure_not_canceled());
      const auto step = static_cast<std::size_t>(
          std::min<std::uint64_t>(zeros.size(), prefix_length - blanked));
      RAVIK_RETURN_IF_ERROR(write_target_all(device_, zeros.first(step), write_position_,
                                             counters_.target_high_water, cancel_flag_));
      blanked += step;
    }
    return device_.sync_all();
  }

  // Reads, hashes and writes overlap (see SourcePipeline); the device is
  // written from this thread only, chunk after chunk in stream order, each
  // followed by its progress step and a cancellation test, as if the three
  // ran one after the other.
  Result<void> write_body() {
    RAVIK_RETURN_IF_ERROR(seek_to(plan_.protected_prefix_bytes));
    // The tail: the last chunk's part block, then the zero padding.
    RAVIK_ASSIGN_OR_RETURN(
        tail_,
        allocate_transfer_buffer(block_size_, static_cast<std::size_t>(2 * block_size_)));
    if (counters_.source_bytes_read >= plan_.bytes_total) return {};
    SourcePipeline pipeline(source_, whole_hasher_, counters_.source_bytes_read,
                            cancel_flag_, wake_source_, buffers_);
    RAVIK_RETURN_IF_ERROR(pipeline.start(SourcePipelinePlan{
        .begin = counters_.source_bytes_read,
        .total = plan_.bytes_total,
        .block_size = block_size_,
        .aligned_io = aligned_,
        .read_bytes = kWriteReadBufferBytes,
    }));
    for (;;) {
      RAVIK_ASSIGN_OR_RETURN(const std::optional<SourceChunk> chunk, pipeline.next());
      if (!chunk) break;
      if (!chunk->blocks.empty()) {
        RAVIK_ASSIGN_OR_RETURN(
            const auto elapsed,
            timed_write_target_all(device_, chunk->blocks, write_position_,
                                   counters_.target_high_water, cancel_flag_));
        write_duration_ += elapsed;
      }
      if (!chunk->remainder.empty()) {
        std::memcpy(tail_.data(), chunk->remainder.data(), chunk->remainder.size());
      }
      tail_length_ = chunk->remainder.size();
      RAVIK_RETURN_IF_ERROR(report_progress(chunk->source_bytes_read));
      RAVIK_RETURN_IF_ERROR(ensure_not_canceled());
    }
    pipeline.finish();
    return {};
  }

  Result<void> check_end_of_stream() {
    std::uint8_t probe = 0;
    RAVIK_ASSIGN_OR_RETURN(
        const std::size_t count,
        read_source_with_retry(source_, std::span(&probe, 1), cancel_flag_));
    if (count != 0) {
      return fail(codes::kImageMissing,
                  "The source stream contained bytes beyond bytesTotal.");
    }
    return ensure_not_canceled();
  }

  Result<void> write_tail() {
    if (target_length_ > plan_.bytes_total) {
      const auto padding = static_cast<std::size_t>(target_length_ - plan_.bytes_total);
      std::memset(tail_.data() + tail_length_, 0, padding);
      tail_length_ += padding;
    }
    if (tail_length_ == 0) return {};
    if (aligned_ && tail_length_ % block_size_ != 0) {
      return fail(codes::kWriteFailed, "The final target write is not sector aligned.");
    }
    RAVIK_ASSIGN_OR_RETURN(
        const auto elapsed,
        timed_write_target_all(device_, tail_.span().first(tail_length_), write_position_,
                               counters_.target_high_water, cancel_flag_));
    write_duration_ += elapsed;
    tail_length_ = 0;
    return {};
  }

  // Exposes the new prefix only once the body is complete, durable and read
  // back equal to what the source delivered.
  //
  // The body readback hashes the prefix held in memory followed by the body
  // read from the target, and compares that with the digest of the whole
  // source. It proves exactly what a separate digest of the body would (the
  // prefix bytes are the ones the source delivered), while every source byte
  // passes through one hasher instead of two.
  //
  // Once its first byte is written the commit runs to its end without looking
  // at the cancel flag: stopped halfway it would leave part of the new prefix
  // over zeros. The block holding byte 0 (the partition table) goes last,
  // behind a flush of the rest, so that a failure on the way never leaves a
  // new table in front of an incomplete prefix.
  Result<void> commit_prefix(const std::string& source_digest) {
    const std::uint64_t prefix_length = plan_.protected_prefix_bytes;
    Sha256 readback;
    readback.update(prefix_);
    RAVIK_RETURN_IF_ERROR(report_phase(WritePhase::kVerify, 0));
    RAVIK_RETURN_IF_ERROR(hash_target_range_into(
        readback, buffers_, device_, prefix_length, plan_.bytes_total - prefix_length,
        cancel_flag_, [this](std::uint64_t hashed) {
          return report_phase(WritePhase::kVerify, hashed);
        }));
    if (readback.finish_hex() != source_digest) {
      return fail(codes::kVerifyMismatch,
                  "Protected body readback did not match; the partition prefix was not "
                  "exposed.");
    }
    RAVIK_RETURN_IF_ERROR(ensure_not_canceled());
    RAVIK_RETURN_IF_ERROR(device_.verify_current_identity());
    const auto prefix = std::span<const std::uint8_t>(prefix_);
    const auto first_block =
        static_cast<std::size_t>(std::min<std::uint64_t>(prefix_length, block_size_));
    if (prefix.size() > first_block) {
      RAVIK_RETURN_IF_ERROR(write_uncancelable(first_block, prefix.subspan(first_block)));
      RAVIK_RETURN_IF_ERROR(device_.sync_all());
    }
    RAVIK_RETURN_IF_ERROR(write_uncancelable(0, prefix.first(first_block)));
    RAVIK_RETURN_IF_ERROR(device_.sync_all());
    RAVIK_ASSIGN_OR_RETURN(
        const std::string prefix_readback,
        hash_target_range(buffers_, device_, 0, prefix_length, kNeverCanceled));
    if (prefix_readback != Sha256::hex_of(prefix_)) {
      return fail(codes::kVerifyMismatch,
                  "Protected prefix readback did not match after commit.");
    }
    return report_phase(WritePhase::kVerify, plan_.bytes_total);
  }

  Result<void> write_uncancelable(std::uint64_t position,
                                  std::span<const std::uint8_t> bytes) {
    RAVIK_RETURN_IF_ERROR(seek_to(position));
    RAVIK_ASSIGN_OR_RETURN(
        const auto elapsed,
        timed_write_target_all(device_, bytes, write_position_,
                               counters_.target_high_water, kNeverCanceled));
    write_duration_ += elapsed;
    return {};
  }

  HeldDeviceIo& device_;
  const ImageWritePlan& plan_;
  ByteSource& source_;
  const WriteProgress& progress_;
  WriteCounters& counters_;
  const std::atomic<bool>& cancel_flag_;
  const WakeSource& wake_source_;
  TransferBufferPool& buffers_;
  const WritePhaseProgress& phases_;

  std::uint64_t block_size_ = 0;  // L
  bool aligned_ = false;
  std::uint64_t target_length_ = 0;  // T
  std::uint64_t write_position_ = 0;
  std::chrono::nanoseconds write_duration_{0};
  Sha256 whole_hasher_;
  AlignedBuffer prefix_storage_;
  std::span<std::uint8_t> prefix_;  // the first P bytes of prefix_storage_
  // The last chunk's part block and the padding, written by the tail step.
  AlignedBuffer tail_;
  std::size_t tail_length_ = 0;
};

}  // namespace

Result<WriteOutcome> write_image(HeldDeviceIo& device, const ImageWritePlan& plan,
                                 ByteSource& source, const WriteProgress& progress,
                                 WriteCounters& counters,
                                 const std::atomic<bool>& cancel_flag,
                                 const WakeSource& wake_source,
                                 TransferBufferPool& buffers,
                                 const WritePhaseProgress& phases) {
  return ImageWriter(device, plan, source, progress, counters, cancel_flag, wake_source,
                     buffers, phases)
      .run();
}

}  // namespace ravik
