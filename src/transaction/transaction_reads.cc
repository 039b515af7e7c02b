// Verification, hashing and range reads of the held target.
#include <limits>

#include "error/safe_message.h"
#include "transaction/held_transaction.h"
#include "transaction/rates.h"
#include "transaction/target_reads.h"

namespace ravik {

Result<VerifyOutcome> HeldTransaction::verify_with_progress(
    const VerifyProgress& progress) {
  RAVIK_RETURN_IF_ERROR(require_written());
  RAVIK_RETURN_IF_ERROR(ensure_not_canceled());
  RAVIK_RETURN_IF_ERROR(device_->sync_all());
  RAVIK_RETURN_IF_ERROR(device_->verify_current_identity());
  RAVIK_ASSIGN_OR_RETURN(const std::uint64_t total, source_bytes_total());
  if (!source_digest_) {
    return fail(codes::kUnknown,
                "The completed transaction is missing its source integrity proof.");
  }
  RAVIK_ASSIGN_OR_RETURN(std::string target_digest,
                         hash_range_with_progress(total, progress));
  RAVIK_RETURN_IF_ERROR(device_->verify_current_identity());
  const bool matches = target_digest == *source_digest_;
  return VerifyOutcome{
      .source_sha256 = *source_digest_,
      .target_sha256 = std::move(target_digest),
      .bytes_verified = total,
      .matches = matches,
  };
}

Result<std::string> HeldTransaction::hash_range_with_progress(
    std::uint64_t length, const VerifyProgress& progress) {
  const std::string message = safe_message(kVerifyProgressMessage);
  const HashStepObserver report = [&](std::uint64_t bytes_hashed) -> Result<void> {
    if (!progress.emit) return {};
    const auto elapsed = progress.now() - progress.started;
    return progress.emit(VerifyProgressStep{
        .bytes_processed = bytes_hashed,
        .bytes_total = length,
        .speed_bps = progress_speed_bps(
            bytes_hashed, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed)),
        .message = message,
    });
  };
  return hash_target_range(transfer_buffers_, *device_, 0, length, *cancel_flag_, report);
}

Result<std::vector<std::uint8_t>> HeldTransaction::read_range(std::uint64_t offset,
                                                              std::uint64_t length) {
  // A read-only hold wrote nothing: all of the disk is what it reads.
  if (!read_only()) RAVIK_RETURN_IF_ERROR(require_written());
  if (length == 0 || length > kMaxReadRangeBytes) {
    return fail(codes::kProtocolError,
                "Read length is outside the 1 MiB protocol bound.");
  }
  if (length > std::numeric_limits<std::uint64_t>::max() - offset) {
    return fail(codes::kProtocolError, "Read range overflow.");
  }
  if (read_only()) {
    if (offset + length > device_->capacity()) {
      return fail(codes::kProtocolError,
                  "Read range exceeds the held target's capacity.");
    }
  } else {
    RAVIK_ASSIGN_OR_RETURN(const std::uint64_t total, source_bytes_total());
    if (offset + length > total) {
      return fail(codes::kProtocolError,
                  "Read range exceeds the written source boundary.");
    }
  }
  RAVIK_RETURN_IF_ERROR(ensure_not_canceled());
  RAVIK_RETURN_IF_ERROR(device_->verify_current_identity());
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  RAVIK_RETURN_IF_ERROR(read_target_range(*device_, offset, bytes));
  RAVIK_RETURN_IF_ERROR(device_->verify_current_identity());
  return bytes;
}

}  // namespace ravik
