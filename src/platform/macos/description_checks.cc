#include "platform/macos/description_checks.h"

#include <bit>

#include "platform/whitespace_normalize.h"

namespace ravik::macos {
namespace {

bool is_acceptable_removable_disk(const Description& description) {
  return description.whole && description.writable &&
         (description.removable || description.ejectable);
}

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Both absent, or both present and equal once white space is normalised.
bool same_model(const std::optional<std::string>& a,
                const std::optional<std::string>& b) {
  if (!a || !b) return !a && !b;
  return normalize_whitespace(*a) == normalize_whitespace(*b);
}

}  // namespace

Result<void> check_target_form(std::string_view device_id, std::string_view device_path) {
  constexpr std::string_view kDisk = "disk";
  const bool whole_disk_name =
      device_id.size() > kDisk.size() && device_id.starts_with(kDisk) &&
      std::ranges::all_of(device_id.substr(kDisk.size()), is_ascii_digit);
  if (!whole_disk_name || !device_path.starts_with("/dev/r") ||
      device_path.substr(6) != device_id) {
    return not_removable(kTargetFormMessage);
  }
  return {};
}

Result<void> validate_description(const DiskSelection& selection,
                                  const Description& description) {
  if (!is_acceptable_removable_disk(description)) {
    return not_removable(
        "Disk Arbitration could not prove the target is a writable removable whole "
        "device.");
  }
  if (description.bsd_name != selection.device_id ||
      description.media_size != selection.size_bytes) {
    return not_removable(
        "Disk Arbitration identity or capacity changed after selection.");
  }
  if (selection.topology_path && *selection.topology_path != description.bus_path) {
    return not_removable("The target hardware topology changed after selection.");
  }
  // A disk without the item cannot be the one selected by it.
  if (selection.model && !same_model(selection.model, description.model)) {
    return not_removable("The target model changed after selection.");
  }
  return {};
}

Result<void> validate_fresh_description(const HeldDiskFacts& held,
                                        const Description& description) {
  const bool same =
      description.bsd_name == held.bsd_name && description.media_size == held.capacity &&
      description.block_size == held.block_size &&
      description.bsd_major == static_cast<std::int64_t>(held.device_number >> 24) &&
      description.bsd_minor == static_cast<std::int64_t>(held.device_number & 0xFFFFFF) &&
      is_acceptable_removable_disk(description) &&
      description.bus_path == held.bus_path &&
      same_model(description.model, held.model) &&
      snapshot_of(description) == held.snapshot;
  if (!same) {
    return fail(codes::kDeviceDisconnected,
                "Disk Arbitration identity changed while the target was held.");
  }
  return {};
}

Result<KernelGeometry> disk_geometry(RawDescriptor& descriptor) {
  constexpr std::string_view kContext =
      "Could not read raw target geometry from the held descriptor";
  const auto block_size = descriptor.block_size();
  if (!block_size) {
    return fail(
        HelperError::io(codes::kDeviceNotRemovable, kContext, block_size.error()));
  }
  const auto block_count = descriptor.block_count();
  if (!block_count) {
    return fail(
        HelperError::io(codes::kDeviceNotRemovable, kContext, block_count.error()));
  }
  // A request that succeeds with 0 left no system error to quote.
  if (*block_size == 0 || *block_count == 0) {
    return fail(HelperError::io_text(codes::kDeviceNotRemovable, kContext,
                                     "The device reported a block size or count of 0."));
  }
  return KernelGeometry{.block_size = *block_size, .block_count = *block_count};
}

Result<std::uint64_t> validate_held_geometry(std::uint64_t target_size_bytes,
                                             std::uint64_t media_size,
                                             std::uint64_t arbitration_block_size,
                                             KernelGeometry geometry) {
  std::uint64_t capacity = 0;
  if (__builtin_mul_overflow(std::uint64_t{geometry.block_size}, geometry.block_count,
                             &capacity)) {
    return not_removable("Raw target capacity overflow.");
  }
  const std::uint64_t block = geometry.block_size;
  const bool consistent = block >= 512 && block <= 1'048'576 &&
                          block == arbitration_block_size &&
                          capacity == target_size_bytes && capacity == media_size &&
                          std::has_single_bit(block) && geometry.block_count != 0;
  if (!consistent) {
    return not_removable(
        "The held raw target geometry does not match the confirmed device.");
  }
  return capacity;
}

}  // namespace ravik::macos
