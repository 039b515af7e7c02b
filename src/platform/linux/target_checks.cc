#include "platform/linux/target_checks.h"

#include "platform/whitespace_normalize.h"

namespace ravik {

Result<void> check_target_form(std::string_view device_id, std::string_view device_path) {
  constexpr std::string_view kDevDirectory = "/dev/";
  if (!is_plain_kernel_name(device_id) || !device_path.starts_with(kDevDirectory) ||
      device_path.substr(kDevDirectory.size()) != device_id) {
    return fail(codes::kDeviceNotRemovable, std::string(kTargetFormMessage));
  }
  return {};
}

bool is_acceptable_removable_disk(const BlockDeviceDescription& description,
                                  RemovabilityPolicy policy) {
  // An eMMC hangs on the same bus as an SD card but is soldered to the board
  // and usually holds the system: only an SD card is removable media there.
  if (description.mmc_card_type && *description.mmc_card_type != "SD") return false;
  const bool loop_accepted = policy.treat_loop_devices_as_removable &&
                             description.transport == BlockTransport::kLoop;
  return description.whole && description.writable &&
         (description.removable || description.ejectable || loop_accepted);
}

Result<void> validate_description(const DiskSelection& target,
                                  const BlockDeviceDescription& description,
                                  RemovabilityPolicy policy) {
  if (!is_acceptable_removable_disk(description, policy)) {
    return fail(codes::kDeviceNotRemovable, std::string(kNotRemovableMessage));
  }
  if (description.kernel_name != target.device_id ||
      description.size_bytes != target.size_bytes) {
    return fail(codes::kDeviceNotRemovable,
                "sysfs identity or capacity changed after selection.");
  }
  if (target.topology_path && *target.topology_path != description.bus_path) {
    return fail(codes::kDeviceNotRemovable,
                "The target hardware topology changed after selection.");
  }
  if (target.model &&
      normalize_whitespace(*target.model) != normalize_whitespace(description.model)) {
    return fail(codes::kDeviceNotRemovable, "The target model changed after selection.");
  }
  return {};
}

Result<void> validate_fresh_description(const HeldDiskFacts& held,
                                        const BlockDeviceDescription& description,
                                        RemovabilityPolicy policy) {
  const DiskSelection& selection = held.selection;
  const bool same =
      description.kernel_name == selection.device_id &&
      description.size_bytes == selection.size_bytes &&
      description.logical_block_size == held.logical_block_size &&
      description.device_number == held.device_number &&
      description.disk_sequence == held.disk_sequence &&
      is_acceptable_removable_disk(description, policy) &&
      selection.topology_path == description.bus_path && selection.model.has_value() &&
      normalize_whitespace(*selection.model) == normalize_whitespace(description.model);
  if (!same) {
    return fail(codes::kDeviceDisconnected,
                "sysfs identity changed while the target was held.");
  }
  return {};
}

Result<std::uint64_t> validate_held_geometry(std::uint64_t target_size_bytes,
                                             const BlockDeviceDescription& description,
                                             KernelGeometry geometry) {
  const std::uint64_t block = geometry.logical_block_size;
  const bool consistent =
      block >= 512 && block <= 1048576 && (block & (block - 1)) == 0 &&
      block == description.logical_block_size && geometry.size_bytes != 0 &&
      geometry.size_bytes % block == 0 && geometry.size_bytes == target_size_bytes &&
      geometry.size_bytes == description.size_bytes;
  if (!consistent) {
    return fail(codes::kDeviceNotRemovable,
                "The held raw target geometry does not match the confirmed device.");
  }
  return geometry.size_bytes;
}

}  // namespace ravik
