#include "platform/macos/open_macos_disk.h"

#include "platform/macos/description_checks.h"
#include "platform/macos/disk_claim.h"
#include "platform/macos/mac_held_device.h"

namespace ravik::macos {
namespace {

Result<Description> describe_and_validate(DiskClaim& claim,
                                          const DiskSelection& selection) {
  RAVIK_ASSIGN_OR_RETURN(Description description, claim.description());
  RAVIK_RETURN_IF_ERROR(validate_description(selection, description));
  return description;
}

Result<std::unique_ptr<RawDescriptor>> open_raw_node(MacSystem& system,
                                                     const std::string& path,
                                                     bool read_only) {
  if (path.find('\0') != std::string::npos) {
    return not_removable("Raw target path contains NUL.");
  }
  auto descriptor = system.open_exclusive(path, read_only);
  if (!descriptor) {
    return fail(HelperError::io(codes::kDeviceNotRemovable,
                                "Could not exclusively open the claimed raw target",
                                descriptor.error()));
  }
  return std::move(*descriptor);
}

Result<std::uint32_t> check_node_matches(RawDescriptor& descriptor,
                                         const Description& description) {
  const auto node = descriptor.status();
  if (!node) {
    return fail(HelperError::io(codes::kDeviceDisconnected,
                                "Could not inspect held raw target", node.error()));
  }
  if (!node->is_device) {
    return not_removable("The production helper accepts only raw device nodes.");
  }
  if (description.bsd_major != static_cast<std::int64_t>(node->device_number >> 24) ||
      description.bsd_minor !=
          static_cast<std::int64_t>(node->device_number & 0xFFFFFF)) {
    return not_removable(
        "The claimed Disk Arbitration object does not match the held device descriptor.");
  }
  return node->device_number;
}

}  // namespace

Result<std::unique_ptr<HeldDeviceIo>> open(const SelectedDisk& target,
                                           std::shared_ptr<MacSystem> system) {
  RAVIK_RETURN_IF_ERROR(check_target_form(target.device_id, target.device_path));
  std::unique_ptr<ArbitrationSession> session = system->create_session();
  if (!session) return not_removable("Could not create a Disk Arbitration session.");
  session->schedule_with_current_run_loop();
  std::unique_ptr<ArbitrationDisk> disk = session->disk_from_bsd_name(target.device_id);
  if (!disk) {
    session->unschedule_from_run_loop();
    return fail(codes::kDeviceDisconnected,
                "Disk Arbitration could not resolve the selected whole disk.");
  }
  // From here on every failure closes the descriptor (declared after the
  // claim, so destroyed first) and then ends the claim and the session.
  auto claim = std::make_unique<DiskClaim>(system, std::move(session), std::move(disk));
  const DiskSelection selection = selection_of(target);

  RAVIK_RETURN_IF_ERROR(describe_and_validate(*claim, selection));
  RAVIK_RETURN_IF_ERROR(claim->unmount_whole());
  RAVIK_RETURN_IF_ERROR(claim->claim());
  RAVIK_RETURN_IF_ERROR(claim->unmount_whole());
  RAVIK_ASSIGN_OR_RETURN(const Description description,
                         describe_and_validate(*claim, selection));

  RAVIK_ASSIGN_OR_RETURN(std::unique_ptr<RawDescriptor> descriptor,
                         open_raw_node(*system, target.device_path, target.read_only));
  RAVIK_ASSIGN_OR_RETURN(const std::uint32_t device_number,
                         check_node_matches(*descriptor, description));
  RAVIK_ASSIGN_OR_RETURN(const KernelGeometry geometry, disk_geometry(*descriptor));
  RAVIK_ASSIGN_OR_RETURN(const std::uint64_t capacity,
                         validate_held_geometry(target.size_bytes, description.media_size,
                                                description.block_size, geometry));
  RAVIK_RETURN_IF_ERROR(claim->unmount_whole());

  MacHeldDeviceState state;
  state.identity = held_whole_disk_identity(target, description.bsd_name, capacity,
                                            description.bus_path, description.model);
  state.facts = HeldDiskFacts{.bsd_name = description.bsd_name,
                              .capacity = capacity,
                              .block_size = geometry.block_size,
                              .device_number = device_number,
                              .bus_path = description.bus_path,
                              .model = description.model};
  state.claim = std::move(claim);
  state.descriptor = std::move(descriptor);
  auto device = std::make_unique<MacHeldDevice>(std::move(system), std::move(state));
  RAVIK_RETURN_IF_ERROR(device->verify_current_identity());
  return device;
}

}  // namespace ravik::macos
