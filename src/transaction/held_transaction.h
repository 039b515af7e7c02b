// HeldTransaction: the one hold a device session has on its target disk, and
// every operation on it: the image write, verification and range reads,
// release, eject and close, with the registry of operation ids and the
// cancellation flag. The boot files and FAT32 recovery (src/boot_partition) work on the
// medium through device(); a completed recovery marks the layout ready.
//
// The transaction owns the held device and the validated open request; the
// session owns the transaction and drops it to release the disk. It never
// reports anything itself: every operation returns its result or a
// HelperError. Used by the session thread only; the one shared piece is the
// cancellation flag, which the session's reader thread and signal path may
// set at any time (read here with acquire ordering, written with
// sequentially consistent stores).
#ifndef RAVIK_TRANSACTION_HELD_TRANSACTION_H_
#define RAVIK_TRANSACTION_HELD_TRANSACTION_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error/helper_error.h"
#include "io/byte_source.h"
#include "platform/held_device_io.h"
#include "protocol/client_message.h"
#include "protocol/server_event.h"
#include "transaction/capacity_probe.h"
#include "transaction/device_openers.h"
#include "transaction/partition_range.h"
#include "transaction/transfer_buffer.h"
#include "transaction/verification.h"
#include "transaction/write_engine.h"

namespace ravik {

// The validated open request: an image write, format-only (no source), or a
// read-only hold (no source, nothing written).
using TransactionRequest =
    std::variant<OpenWriteRequest, OpenFormatRequest, OpenReadRequest>;

// The session's cancellation flag; each holder keeps one share.
using CancelFlag = std::shared_ptr<std::atomic<bool>>;

// Largest range a single read returns.
inline constexpr std::uint64_t kMaxReadRangeBytes = 1'048'576;

class HeldTransaction {
 public:
  // --- Opening ---------------------------------------------------------------
  // Each validates its request, refuses test-only and foreign-platform
  // requests, opens the target through `openers` and finishes with
  // from_open_request. On failure nothing stays held.

  static Result<HeldTransaction> open(OpenWriteRequest request, CancelFlag cancel_flag,
                                      const DeviceOpeners& openers);
  static Result<HeldTransaction> open_format(OpenFormatRequest request,
                                             CancelFlag cancel_flag,
                                             const DeviceOpeners& openers);
  // The same checks and unmounts as a write, the disk opened for reading only.
  static Result<HeldTransaction> open_read(OpenReadRequest request,
                                           CancelFlag cancel_flag,
                                           const DeviceOpeners& openers);
  // Re-proves the device's identity and checks its capacity against the
  // request's target size; the device is released on failure.
  static Result<HeldTransaction> from_open_request(TransactionRequest request,
                                                   std::unique_ptr<HeldDeviceIo> device,
                                                   CancelFlag cancel_flag);

  HeldTransaction(HeldTransaction&&) noexcept = default;
  HeldTransaction& operator=(HeldTransaction&&) noexcept = default;
  HeldTransaction(const HeldTransaction&) = delete;
  HeldTransaction& operator=(const HeldTransaction&) = delete;
  ~HeldTransaction() = default;

  // --- Operation ids and cancellation ------------------------------------------

  // Records an operationId; refuses ids of the wrong length, with NUL, or
  // used before in this transaction (whatever became of that command). On
  // failure the registry is unchanged.
  Result<void> register_operation(std::string_view operation_id);

  // CANCELED "The transaction was canceled." while the cancel flag is set;
  // never clears it.
  Result<void> ensure_not_canceled() const;
  void request_cancellation();
  // Lets recovery and release run after a cancel.
  void clear_cancellation_for_recovery();

  // --- Accessors -----------------------------------------------------------------

  // The held disk's identity as the ready event reports it.
  HeldTargetIdentity identity() const;
  std::uint64_t logical_block_size() const { return device_->logical_block_size(); }
  // PROTOCOL_ERROR in a format-only transaction.
  Result<const OpenWriteRequest*> write_request() const;
  Result<std::uint64_t> source_bytes_total() const;
  // PROTOCOL_ERROR "The source write has not completed." until the write did.
  Result<void> require_written() const;
  // True for a hold opened by open_read.
  bool read_only() const { return std::holds_alternative<OpenReadRequest>(request_); }
  // PROTOCOL_ERROR in a read-only transaction: every change of the medium
  // asks this first.
  Result<void> require_writable() const;

  bool written() const { return written_; }
  bool media_layout_ready() const { return media_layout_ready_; }
  // Set by a completed FAT32 recovery, which lays out a fresh medium.
  void mark_media_layout_ready() { media_layout_ready_ = true; }
  const std::optional<std::string>& source_digest() const { return source_digest_; }
  std::uint64_t source_bytes_read() const { return counters_.source_bytes_read; }
  // The highest target position image writes reached; reported as
  // bytesWritten after a failed write.
  std::uint64_t target_high_water() const { return counters_.target_high_water; }

  // The boot session: present while partition 1 is open.
  const std::optional<PartitionRange>& boot_partition() const { return boot_partition_; }
  void set_boot_partition(std::optional<PartitionRange> partition) {
    boot_partition_ = partition;
  }

  // The held device, for operations on the medium (boot files, recovery).
  HeldDeviceIo& device() { return *device_; }
  const std::atomic<bool>& cancel_flag() const { return *cancel_flag_; }

  // --- Image write -----------------------------------------------------------------

  // Writes the image exactly once per transaction; see write_engine.h. On
  // success records the digest and marks the transaction written and its
  // layout ready. Any later call fails with "The source can be written only
  // once." as soon as a first run consumed or wrote anything.
  Result<WriteOutcome> write_source_with_progress(ByteSource& source,
                                                  const WriteProgress& progress,
                                                  const WakeSource& wake_source = {},
                                                  const WritePhaseProgress& phases = {});

  // --- Verification and reads --------------------------------------------------

  // Makes the target durable, re-proves identity, hashes its first
  // bytesTotal bytes with one progress step per 4 MiB and compares with the
  // recorded digest. A mismatch is `matches` false, not an error.
  Result<VerifyOutcome> verify_with_progress(const VerifyProgress& progress);
  // Hex digest of target bytes 0 .. length - 1, reporting each 4 MiB step.
  Result<std::string> hash_range_with_progress(std::uint64_t length,
                                               const VerifyProgress& progress);
  // Up to 1 MiB of the written image, never beyond it; in a read-only
  // transaction up to 1 MiB anywhere on the disk.
  Result<std::vector<std::uint8_t>> read_range(std::uint64_t offset,
                                               std::uint64_t length);

  // --- Capacity probe (format-only) -----------------------------------------------

  // Writes self-identifying blocks spread over the whole disk, makes them
  // durable, reads them back and tells how much of the disk is real; see
  // capacity_probe.h. Destroys the partition table. Format-only transactions
  // only.
  Result<CapacityProbeOutcome> probe_capacity(const CapacityProbeProgress& progress);

  // --- Release, eject and close --------------------------------------------------
  // None of these tests the cancellation flag.

  // Refuses while the boot session is open, then makes the data durable and
  // re-proves identity.
  Result<void> prepare_eject();
  // The device's eject, nothing else.
  Result<void> eject_prepared();
  // prepare_eject, then the device's eject.
  Result<void> eject();
  Result<bool> exact_detach_confirmed();
  // Ends the boot session (even when what follows fails), makes the data
  // durable and re-proves identity; the disk stays held and attached.
  Result<void> close();

 private:
  HeldTransaction(TransactionRequest request, std::unique_ptr<HeldDeviceIo> device,
                  CancelFlag cancel_flag);
  void prepare_image_path();

  std::optional<PartitionRange> boot_partition_;
  TransactionRequest request_;
  std::optional<std::string> source_digest_;
  std::unique_ptr<HeldDeviceIo> device_;
  CancelFlag cancel_flag_;
  // SHA-256 digests (hex) of the operation IDs claimed so far.
  std::set<std::string, std::less<>> operation_ids_;
  WriteCounters counters_;
  bool written_ = false;
  bool media_layout_ready_ = false;
  // Shared by the image write and every later hashing pass, so that each
  // does not fault in fresh memory of its own.
  TransferBufferPool transfer_buffers_;
};

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_HELD_TRANSACTION_H_
