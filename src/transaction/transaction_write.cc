// The transaction's side of the image write: the single-shot rule and the
// checks before the engine runs, and recording its success.
#include "transaction/held_transaction.h"

namespace ravik {

Result<WriteOutcome> HeldTransaction::write_source_with_progress(
    ByteSource& source, const WriteProgress& progress, const WakeSource& wake_source,
    const WritePhaseProgress& phases) {
  if (written_ || counters_.source_bytes_read != 0 || counters_.target_high_water != 0) {
    return fail(codes::kProtocolError, "The source can be written only once.");
  }
  RAVIK_RETURN_IF_ERROR(ensure_not_canceled());
  RAVIK_RETURN_IF_ERROR(device_->verify_current_identity());
  RAVIK_ASSIGN_OR_RETURN(const OpenWriteRequest* request, write_request());
  const ImageWritePlan plan{
      .bytes_total = request->source.bytes_total,
      .protected_prefix_bytes = request->protected_prefix_bytes,
      .tail_policy = request->tail_policy,
      .expected_sha256 = request->source.sha256,
  };
  RAVIK_ASSIGN_OR_RETURN(
      WriteOutcome outcome,
      write_image(*device_, plan, source, progress, counters_, *cancel_flag_, wake_source,
                  transfer_buffers_, phases));
  written_ = true;
  media_layout_ready_ = true;
  source_digest_ = outcome.source_sha256;
  return outcome;
}

}  // namespace ravik
