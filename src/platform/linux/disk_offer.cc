#include "platform/linux/disk_offer.h"

#include <algorithm>

namespace ravik {
namespace {

constexpr std::string_view kPrefix = "The selected disk ";

HelperError in_use(std::string_view what, std::string_view name) {
  return HelperError(
      codes::kDeviceNotRemovable,
      std::string(kPrefix) + std::string(what) + " (" + std::string(name) + ").");
}

}  // namespace

Result<SystemUse> read_system_use(const LinuxSystemPaths& paths) {
  SystemUse use;
  RAVIK_ASSIGN_OR_RETURN(use.mounts, read_mountinfo(paths.mountinfo_path));
  RAVIK_ASSIGN_OR_RETURN(use.swap_areas, read_swap_areas(paths.swaps_path));
  return use;
}

std::vector<dev_t> disk_device_numbers(const BlockDeviceDescription& description) {
  std::vector<dev_t> devices = description.partition_device_numbers;
  devices.push_back(description.device_number);
  return devices;
}

Result<void> check_not_in_system_use(const BlockDeviceDescription& description,
                                     const SystemUse& use) {
  const std::vector<dev_t> devices = disk_device_numbers(description);
  const auto on_disk = [&](dev_t device) {
    return std::ranges::find(devices, device) != devices.end();
  };
  for (const MountEntry& mount : use.mounts) {
    if (on_disk(mount.device_number) &&
        std::ranges::find(kSystemMountPoints, mount.mount_point) !=
            kSystemMountPoints.end()) {
      return fail(in_use("holds a system file system", mount.mount_point));
    }
  }
  for (const SwapArea& area : use.swap_areas) {
    if (on_disk(area.device_number)) {
      return fail(in_use("holds an active swap area", area.file_name));
    }
  }
  if (!description.holders.empty()) {
    return fail(codes::kDeviceNotRemovable, std::string(kPrefix) + "is in use by " +
                                                description.holders.front() + ".");
  }
  return {};
}

Result<void> check_disk_offered(const BlockDeviceDescription& description,
                                const SystemUse& use, RemovabilityPolicy policy) {
  if (!is_acceptable_removable_disk(description, policy)) {
    return fail(codes::kDeviceNotRemovable, std::string(kNotRemovableMessage));
  }
  return check_not_in_system_use(description, use);
}

DiskOffer assess_disk_offer(std::string_view kernel_name, const LinuxSystemPaths& paths,
                            RemovabilityPolicy policy) {
  auto checked = [&]() -> Result<void> {
    RAVIK_ASSIGN_OR_RETURN(const BlockDeviceDescription description,
                           describe_block_device(kernel_name, paths));
    RAVIK_ASSIGN_OR_RETURN(const SystemUse use, read_system_use(paths));
    return check_disk_offered(description, use, policy);
  }();
  if (checked) return DiskOffer{.offered = true, .reason = {}};
  return DiskOffer{.offered = false, .reason = checked.error().message()};
}

}  // namespace ravik
