#include "platform/macos/mac_held_device.h"

#include <algorithm>
#include <cerrno>
#include <limits>

namespace ravik::macos {
namespace {

std::unexpected<IoError> io_failure(int error) {
  return std::unexpected(IoError::from_errno(error));
}

std::unexpected<HelperError> disconnected(std::string message) {
  return fail(codes::kDeviceDisconnected, std::move(message));
}

}  // namespace

MacHeldDevice::MacHeldDevice(std::shared_ptr<MacSystem> system, MacHeldDeviceState state)
    : system_(std::move(system)), state_(std::move(state)) {}

MacHeldDevice::~MacHeldDevice() {
  state_.descriptor.reset();
  state_.claim.reset();
}

IoResult<std::size_t> MacHeldDevice::read(std::span<std::uint8_t> buffer) {
  if (!state_.descriptor) return std::unexpected(closed_target_io_error());
  const auto count = state_.descriptor->read(buffer);
  if (!count) return io_failure(count.error());
  return *count;
}

IoResult<std::size_t> MacHeldDevice::write(std::span<const std::uint8_t> data) {
  if (!state_.descriptor) return std::unexpected(closed_target_io_error());
  const auto count = state_.descriptor->write(data);
  if (!count) return io_failure(count.error());
  return *count;
}

IoResult<void> MacHeldDevice::flush() {
  if (!state_.descriptor) return std::unexpected(closed_target_io_error());
  return {};
}

IoResult<std::uint64_t> MacHeldDevice::seek(SeekFrom from) {
  if (!state_.descriptor) return std::unexpected(closed_target_io_error());
  std::int64_t offset = from.offset();
  SeekFrom::Origin origin = from.origin();
  constexpr auto kLargest =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (origin == SeekFrom::Origin::kStart) {
    if (from.position() > kLargest) return io_failure(EINVAL);
    offset = static_cast<std::int64_t>(from.position());
  } else if (origin == SeekFrom::Origin::kEnd) {
    // lseek counts from the end of the device node, whose size is not the
    // disk's: the end is the confirmed capacity.
    const std::uint64_t capacity = state_.facts.capacity;
    const std::uint64_t back = offset < 0 ? 0 - static_cast<std::uint64_t>(offset) : 0;
    const std::uint64_t ahead = offset > 0 ? static_cast<std::uint64_t>(offset) : 0;
    if (back > capacity || ahead > kLargest - std::min(capacity, kLargest)) {
      return io_failure(EINVAL);
    }
    offset = static_cast<std::int64_t>(capacity - back + ahead);
    origin = SeekFrom::Origin::kStart;
  }
  const auto position = state_.descriptor->seek(offset, origin);
  if (!position) return io_failure(position.error());
  return *position;
}

Result<void> MacHeldDevice::sync_all() {
  if (!state_.descriptor) return fail(closed_target_error(codes::kWriteFailed));
  if (const auto synced = state_.descriptor->synchronize_cache(); !synced) {
    return fail(HelperError::io(codes::kWriteFailed,
                                "Could not synchronize the target's hardware cache",
                                synced.error()));
  }
  return {};
}

Result<void> MacHeldDevice::verify_current_identity() {
  if (!state_.descriptor) return fail(closed_target_error(codes::kDeviceDisconnected));
  if (detach_confirmed_ || !state_.claim->is_claimed()) {
    return disconnected("The Disk Arbitration claim is no longer held.");
  }
  const auto node = system_->link_status(state_.identity.device_path);
  if (!node) {
    return fail(HelperError::io(codes::kDeviceDisconnected,
                                "Could not recheck raw target path", node.error()));
  }
  if (!node->is_device || node->device_number != state_.facts.device_number) {
    return disconnected("The raw target path no longer names the held device.");
  }
  const auto held = state_.descriptor->status();
  if (!held) {
    return fail(HelperError::io(codes::kDeviceDisconnected,
                                "Could not inspect held raw target", held.error()));
  }
  if (held->device_number != state_.facts.device_number) {
    return disconnected("The held raw target identity changed.");
  }
  // Takes down any volume the system mounted since the last check.
  RAVIK_RETURN_IF_ERROR(state_.claim->unmount_whole());
  RAVIK_ASSIGN_OR_RETURN(const Description description, state_.claim->description());
  return validate_fresh_description(state_.facts, description);
}

Result<void> MacHeldDevice::eject() {
  RAVIK_RETURN_IF_ERROR(verify_current_identity());
  if (!state_.descriptor) {
    return disconnected("The held raw target is already closed.");
  }
  // Closed whatever the eject's outcome: there is no way back to held.
  state_.descriptor.reset();
  // Whatever was mounted since the check goes before the eject, which does
  // not unmount.
  RAVIK_RETURN_IF_ERROR(state_.claim->unmount_whole());
  RAVIK_RETURN_IF_ERROR(state_.claim->eject());
  detach_confirmed_ = true;
  return {};
}

}  // namespace ravik::macos
