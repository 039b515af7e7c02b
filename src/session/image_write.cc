#include "session/image_write.h"

#include "error/safe_message.h"
#include "protocol/source_frame_reader.h"
#include "transaction/rates.h"
#include "transaction/verification.h"

namespace ravik {
namespace {

bool ends_retained_when_complete(ErrorCode code) {
  return code == codes::kImageMissing || code == codes::kCanceled ||
         code == codes::kWriteFailed || code == codes::kVerifyMismatch ||
         code == codes::kDeviceDisconnected;
}

// The write-failure rules, applied in order.
Result<bool> apply_write_failure(HeldTransaction& transaction, SourceFrameReader& source,
                                 BufferedOutput& output, const EventContext& context,
                                 HelperError error) {
  // The failure may have left data in the device's caches; whatever close
  // reports, the error event below is what the application must see.
  (void)transaction.close();
  const std::uint64_t high_water = transaction.target_high_water();
  // The source reader runs ahead of the device writes: it may have taken the
  // abort frame while a write was failing. Only an abort the write itself
  // ran into ends it as an abort; otherwise the failure is reported as if
  // the abort were still on the input, and the drain below finds it taken.
  if (source.canceled() && error.cause() == ErrorCause::kSourceAborted) {
    RAVIK_RETURN_IF_ERROR(context.write_source_aborted(output, error, high_water));
    return false;
  }
  if (source.misaligned()) {
    // What follows on the input is image content that can no longer be told
    // from frames; read as frames it could turn into commands. The input is
    // not read again.
    RAVIK_RETURN_IF_ERROR(context.write_error(output, error, std::nullopt, high_water,
                                              /*session_retained=*/false));
    return fail(std::move(error));
  }
  const bool complete = source.finished();
  if (complete && high_water != 0 && ends_retained_when_complete(error.code())) {
    RAVIK_RETURN_IF_ERROR(context.write_error(output, error, std::nullopt, high_water,
                                              /*session_retained=*/true));
    return false;
  }
  if (retain_after_write_error(error.code(), complete)) {
    RAVIK_RETURN_IF_ERROR(context.write_error(output, error, std::nullopt, high_water,
                                              /*session_retained=*/false));
    // The application sends the abort once it has read the error, in its
    // own time.
    if (auto drained = source.drain_until_abort(); !drained) {
      return fail(HelperError::io_text(
          codes::kImageMissing, "Could not resynchronize the canceled source stream",
          drained.error().describe()));
    }
    RAVIK_RETURN_IF_ERROR(context.write_source_aborted(output, error, high_water));
    return false;
  }
  RAVIK_RETURN_IF_ERROR(context.write_error(output, error, std::nullopt, high_water,
                                            /*session_retained=*/false));
  return fail(std::move(error));
}

}  // namespace

Result<bool> write_session_image(HeldTransaction& transaction, BufferedInput& input,
                                 BufferedOutput& output, const EventContext& context,
                                 SessionClock& clock, const WakeSource& wake_input) {
  RAVIK_ASSIGN_OR_RETURN(const std::uint64_t total, transaction.source_bytes_total());
  SourceFrameReader source(input, total);
  const SessionClock::TimePoint started = clock.now();
  const WriteProgress progress = [&](std::uint64_t consumed) -> Result<void> {
    return context.write(
        output,
        ProgressEvent{.operation_id = std::nullopt,
                      .stage = ProgressStage::kWrite,
                      .bytes_processed = consumed,
                      .bytes_total = total,
                      .speed_bps = progress_speed_bps(consumed, clock.now() - started),
                      .message = safe_message(kWriteProgressMessage)});
  };
  // The final flush and the readback move no source bytes but may take as
  // long as the write itself on a slow disk: they are reported as stages of
  // their own, so the application never sits at 100% in silence.
  SessionClock::TimePoint readback_started = started;
  const WritePhaseProgress phases = [&](WritePhase phase,
                                        std::uint64_t done) -> Result<void> {
    const SessionClock::TimePoint now = clock.now();
    if (phase == WritePhase::kFlush) {
      return context.write(
          output, ProgressEvent{.operation_id = std::nullopt,
                                .stage = ProgressStage::kFlush,
                                .bytes_processed = done,
                                .bytes_total = total,
                                .speed_bps = progress_speed_bps(done, now - started),
                                .message = safe_message(kFlushProgressMessage)});
    }
    if (done == 0) readback_started = now;
    return context.write(
        output,
        ProgressEvent{.operation_id = std::nullopt,
                      .stage = ProgressStage::kVerify,
                      .bytes_processed = done,
                      .bytes_total = total,
                      .speed_bps = progress_speed_bps(done, now - readback_started),
                      .message = safe_message(kVerifyProgressMessage)});
  };
  auto outcome =
      transaction.write_source_with_progress(source, progress, wake_input, phases);
  if (!outcome) {
    return apply_write_failure(transaction, source, output, context,
                               std::move(outcome).error());
  }
  RAVIK_RETURN_IF_ERROR(context.write(
      output,
      WrittenEvent{.bytes_written = outcome->bytes_written,
                   .target_bytes_written = outcome->target_bytes_written,
                   .source_sha256 = outcome->source_sha256,
                   .write_duration_ms = outcome->write_duration_ms,
                   .write_speed_bps = outcome->write_speed_bps,
                   .flush_completed = true,
                   .protected_prefix_bytes = outcome->protected_prefix_bytes,
                   .protected_body_verified = outcome->protected_body_verified,
                   .protected_prefix_verified = outcome->protected_prefix_verified}));
  return true;
}

}  // namespace ravik
