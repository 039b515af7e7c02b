#include "platform/linux/open_linux_block_device.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/linux/block_device_description.h"
#include "platform/linux/block_device_node.h"
#include "platform/linux/disk_unmount.h"
#include "platform/linux/linux_held_device.h"

namespace ravik {
namespace {

Result<BlockDeviceDescription> describe_and_validate(const SelectedDisk& target,
                                                     const LinuxOpenOptions& options) {
  RAVIK_ASSIGN_OR_RETURN(BlockDeviceDescription description,
                         describe_block_device(target.device_id, options.paths));
  // A partition is refused like any other name that is not a whole disk, before
  // anything is unmounted.
  if (!description.whole) {
    return fail(codes::kDeviceNotRemovable, std::string(kTargetFormMessage));
  }
  RAVIK_RETURN_IF_ERROR(
      validate_description(selection_of(target), description, options.policy));
  return description;
}

Result<void> check_descriptor_matches(int fd, const BlockDeviceDescription& description) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return fail(HelperError::io(codes::kDeviceDisconnected,
                                "Could not inspect held raw target", errno));
  }
  if (!S_ISBLK(status.st_mode)) {
    return fail(codes::kDeviceNotRemovable,
                "The production helper accepts only block device nodes.");
  }
  if (status.st_rdev != description.device_number ||
      read_disk_sequence(fd) != description.disk_sequence) {
    return fail(codes::kDeviceNotRemovable,
                "The claimed sysfs device does not match the held device descriptor.");
  }
  return {};
}

}  // namespace

Result<std::unique_ptr<HeldDeviceIo>> open_linux_block_device(
    const SelectedDisk& target, const LinuxOpenOptions& options) {
  RAVIK_RETURN_IF_ERROR(check_target_form(target.device_id, target.device_path));
  RAVIK_ASSIGN_OR_RETURN(const BlockDeviceDescription selected,
                         describe_and_validate(target, options));
  RAVIK_RETURN_IF_ERROR(unmount_disk(selected, options.paths));

  RAVIK_ASSIGN_OR_RETURN(UniqueFd fd,
                         open_disk_exclusively(target.device_path, target.read_only));
  RAVIK_ASSIGN_OR_RETURN(const BlockDeviceDescription description,
                         describe_and_validate(target, options));
  RAVIK_RETURN_IF_ERROR(check_descriptor_matches(fd.get(), description));
  RAVIK_ASSIGN_OR_RETURN(const KernelGeometry geometry, read_kernel_geometry(fd.get()));
  RAVIK_ASSIGN_OR_RETURN(
      const std::uint64_t capacity,
      validate_held_geometry(target.size_bytes, description, geometry));
  RAVIK_RETURN_IF_ERROR(unmount_disk(description, options.paths));

  LinuxHeldDeviceState state;
  state.identity = held_whole_disk_identity(target, description.kernel_name, capacity,
                                            description.bus_path, description.model);
  state.facts =
      HeldDiskFacts{.selection = DiskSelection{.device_id = description.kernel_name,
                                               .size_bytes = capacity,
                                               .topology_path = description.bus_path,
                                               .model = description.model},
                    .logical_block_size = geometry.logical_block_size,
                    .device_number = description.device_number,
                    .disk_sequence = description.disk_sequence};
  state.fd = std::move(fd);
  state.device_path = target.device_path;
  state.transport = description.transport;
  state.parent_device_name = description.parent_device_name;
  state.policy = options.policy;
  state.paths = options.paths;
  auto device = std::make_unique<LinuxHeldDevice>(std::move(state));
  RAVIK_RETURN_IF_ERROR(device->verify_current_identity());
  return device;
}

Result<std::unique_ptr<HeldDeviceIo>> open_block_device(const SelectedDisk& target,
                                                        const DeviceOpenPolicy& policy) {
  LinuxOpenOptions options;
  options.policy.treat_loop_devices_as_removable = policy.treat_loop_devices_as_removable;
  return open_linux_block_device(target, options);
}

}  // namespace ravik
