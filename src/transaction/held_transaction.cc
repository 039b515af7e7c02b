#include "transaction/held_transaction.h"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "io/sha256.h"
#include "protocol/request_validation.h"
#include "transaction/cancellation.h"
#include "transaction/disk_conversion.h"

namespace ravik {
namespace {

constexpr std::string_view kFormatOnly =
    "Source operations are unavailable in a format-only transaction.";
constexpr std::string_view kReadOnly =
    "The held target is open for reading only: nothing may be written to it.";

// The checks every open makes between validating the request and touching
// the disk, then the open through the backend the request may use.
Result<std::unique_ptr<HeldDeviceIo>> open_device(const TargetExpectation& target,
                                                  bool test_only_allow_regular_file,
                                                  bool read_only,
                                                  const DeviceOpeners& openers) {
  // Refused before any backend runs: only a build that carries the
  // regular-file backend may ever write to a regular file.
  if (test_only_allow_regular_file && openers.regular_file == nullptr) {
    return fail(codes::kDeviceNotRemovable,
                "testOnlyAllowRegularFile is unavailable in production builds.");
  }
  if (target.platform != openers.platform) {
    return fail(codes::kDeviceNotRemovable,
                "The request platform does not match this helper build.");
  }
  const DeviceOpener opener =
      test_only_allow_regular_file ? openers.regular_file : openers.block_device;
  if (opener == nullptr) {
    return fail(codes::kDeviceNotRemovable,
                "This helper build cannot serve the selected target: it has no "
                "removable-disk backend.");
  }
  SelectedDisk selected = selected_disk_of(target);
  selected.read_only = read_only;
  RAVIK_ASSIGN_OR_RETURN(auto device, opener(selected, openers.policy));
  if (device == nullptr) {
    return fail(codes::kDeviceNotRemovable, "The selected target could not be opened.");
  }
  return device;
}

// Both open requests: validated, opened through `openers`, finished by
// from_open_request.
template <class OpenRequest>
Result<HeldTransaction> open_validated(OpenRequest request, CancelFlag cancel_flag,
                                       const DeviceOpeners& openers) {
  RAVIK_RETURN_IF_ERROR(request.validate());
  RAVIK_ASSIGN_OR_RETURN(
      auto device, open_device(request.target, request.test_only_allow_regular_file,
                               std::is_same_v<OpenRequest, OpenReadRequest>, openers));
  return HeldTransaction::from_open_request(TransactionRequest(std::move(request)),
                                            std::move(device), std::move(cancel_flag));
}

// The size of the transfer buffers the image write and the hashing passes
// share: one 4 MiB step (less for a smaller image) plus room for the block
// the write ring carries over. A buffer sized for the ring also serves the
// zero buffer and the read-ahead steps, so they reuse its pages. (A device
// whose blocks are too large for aligned buffers only loses the reuse.)
std::size_t shared_transfer_bytes(const TransactionRequest& request,
                                  const HeldDeviceIo& device) {
  const auto* write = std::get_if<OpenWriteRequest>(&request);
  if (write == nullptr) return 0;
  return static_cast<std::size_t>(
             std::min<std::uint64_t>(write->source.bytes_total, kWriteReadBufferBytes)) +
         transfer_alignment(device.logical_block_size());
}

}  // namespace

HeldTransaction::HeldTransaction(TransactionRequest request,
                                 std::unique_ptr<HeldDeviceIo> device,
                                 CancelFlag cancel_flag)
    : request_(std::move(request)),
      device_(std::move(device)),
      cancel_flag_(std::move(cancel_flag)),
      transfer_buffers_(shared_transfer_bytes(request_, *device_)) {}

Result<HeldTransaction> HeldTransaction::open(OpenWriteRequest request,
                                              CancelFlag cancel_flag,
                                              const DeviceOpeners& openers) {
  return open_validated(std::move(request), std::move(cancel_flag), openers);
}

Result<HeldTransaction> HeldTransaction::open_format(OpenFormatRequest request,
                                                     CancelFlag cancel_flag,
                                                     const DeviceOpeners& openers) {
  return open_validated(std::move(request), std::move(cancel_flag), openers);
}

Result<HeldTransaction> HeldTransaction::open_read(OpenReadRequest request,
                                                   CancelFlag cancel_flag,
                                                   const DeviceOpeners& openers) {
  return open_validated(std::move(request), std::move(cancel_flag), openers);
}

Result<HeldTransaction> HeldTransaction::from_open_request(
    TransactionRequest request, std::unique_ptr<HeldDeviceIo> device,
    CancelFlag cancel_flag) {
  if (device == nullptr) {
    return fail(codes::kDeviceNotRemovable, "The selected target could not be opened.");
  }
  if (cancel_flag == nullptr) cancel_flag = std::make_shared<std::atomic<bool>>(false);
  RAVIK_RETURN_IF_ERROR(device->verify_current_identity());
  const std::uint64_t expected_size = std::visit(
      [](const auto& open_request) { return open_request.target.size_bytes; }, request);
  if (device->capacity() != expected_size) {
    return fail(codes::kDeviceNotRemovable,
                "The held target capacity does not match the confirmed device.");
  }
  HeldTransaction transaction(std::move(request), std::move(device),
                              std::move(cancel_flag));
  transaction.prepare_image_path();
  return transaction;
}

// The digest implementation is loaded while the application is still
// preparing its first frame; on memory-speed media loading it inside the
// write would cost as much as writing a few MiB.
void HeldTransaction::prepare_image_path() {
  if (std::holds_alternative<OpenWriteRequest>(request_)) Sha256::load_implementation();
}

HeldTargetIdentity HeldTransaction::identity() const {
  return wire_identity_of(device_->identity());
}

Result<void> HeldTransaction::register_operation(std::string_view operation_id) {
  RAVIK_RETURN_IF_ERROR(validate_operation_id(operation_id));
  const std::string digest = Sha256::hex_of(std::span(
      reinterpret_cast<const std::uint8_t*>(operation_id.data()), operation_id.size()));
  if (!operation_ids_.insert(digest).second) {
    return fail(codes::kProtocolError,
                "operationId was already used in this transaction.");
  }
  return {};
}

Result<void> HeldTransaction::ensure_not_canceled() const {
  return check_cancel_flag(*cancel_flag_);
}

void HeldTransaction::request_cancellation() {
  cancel_flag_->store(true, std::memory_order_seq_cst);
}

void HeldTransaction::clear_cancellation_for_recovery() {
  cancel_flag_->store(false, std::memory_order_seq_cst);
}

Result<const OpenWriteRequest*> HeldTransaction::write_request() const {
  if (const auto* write = std::get_if<OpenWriteRequest>(&request_)) return write;
  RAVIK_RETURN_IF_ERROR(require_writable());
  return fail(codes::kProtocolError, std::string(kFormatOnly));
}

Result<CapacityProbeOutcome> HeldTransaction::probe_capacity(
    const CapacityProbeProgress& progress) {
  if (!std::holds_alternative<OpenFormatRequest>(request_)) {
    return fail(codes::kProtocolError,
                "The capacity probe runs only in a format-only transaction.");
  }
  RAVIK_RETURN_IF_ERROR(ensure_not_canceled());
  // The probe overwrites whatever layout the disk had.
  boot_partition_.reset();
  RAVIK_RETURN_IF_ERROR(device_->verify_current_identity());
  return run_capacity_probe(*device_, *cancel_flag_, random_probe_tag(), progress);
}

Result<void> HeldTransaction::require_writable() const {
  if (read_only()) return fail(codes::kProtocolError, std::string(kReadOnly));
  return {};
}

Result<std::uint64_t> HeldTransaction::source_bytes_total() const {
  RAVIK_ASSIGN_OR_RETURN(const OpenWriteRequest* write, write_request());
  return write->source.bytes_total;
}

Result<void> HeldTransaction::require_written() const {
  if (!written_)
    return fail(codes::kProtocolError, "The source write has not completed.");
  return {};
}

}  // namespace ravik
