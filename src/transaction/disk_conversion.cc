#include "transaction/disk_conversion.h"

namespace ravik {

DiskPlatform disk_platform_of(PlatformName platform) {
  switch (platform) {
    case PlatformName::kMacos:
      return DiskPlatform::kMacos;
    case PlatformName::kLinux:
      break;
  }
  return DiskPlatform::kLinux;
}

PlatformName platform_name_of(DiskPlatform platform) {
  switch (platform) {
    case DiskPlatform::kMacos:
      return PlatformName::kMacos;
    case DiskPlatform::kLinux:
      break;
  }
  return PlatformName::kLinux;
}

SelectedDisk selected_disk_of(const TargetExpectation& target) {
  return SelectedDisk{.platform = disk_platform_of(target.platform),
                      .device_id = target.device_id,
                      .device_path = target.device_path,
                      .size_bytes = target.size_bytes,
                      .serial = target.serial,
                      .topology_path = target.topology_path,
                      .model = target.model};
}

HeldTargetIdentity wire_identity_of(const DiskIdentity& identity) {
  return HeldTargetIdentity{.platform = platform_name_of(identity.platform),
                            .device_id = identity.device_id,
                            .device_path = identity.device_path,
                            .size_bytes = identity.size_bytes,
                            .serial = identity.serial,
                            .topology_path = identity.topology_path,
                            .model = identity.model,
                            .removable = identity.removable,
                            .writable = identity.writable,
                            .mounted = identity.mounted,
                            .whole_device = identity.whole_device};
}

}  // namespace ravik
