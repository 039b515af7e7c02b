#include "maintenance/provision.h"

#include <unistd.h>

#include "maintenance/json_line.h"
#include "maintenance/maintenance_lock.h"

namespace ravik {

Result<std::string> provisioned_line(const std::string& lock_path) {
  nlohmann::ordered_json object;
  object["path"] = lock_path;
  object["protocol"] = kMaintenanceProtocolTag;
  object["status"] = "provisioned";
  auto encoded = encode_compact(object);
  if (!encoded) {
    return fail(codes::kMaintenanceUnavailable,
                "Could not encode maintenance provisioning status: " + encoded.error());
  }
  return std::move(encoded).value();
}

Result<void> provision_maintenance(const MaintenanceLocation& location, int output_fd) {
  if (::geteuid() != 0) {
    return fail(codes::kMaintenanceProvisioningRequired,
                "Maintenance provisioning requires the installed elevated helper.");
  }
  RAVIK_ASSIGN_OR_RETURN(MaintenanceLock lock,
                         MaintenanceLock::acquire_default(
                             location, MaintenanceMode::kShared,
                             MaintenanceTimeout::zero(), /*create_allowed=*/true));
  RAVIK_ASSIGN_OR_RETURN(const std::string line, provisioned_line(lock.lock_path()));
  RAVIK_RETURN_IF_ERROR(std::move(lock).unlock());
  return write_line(output_fd, line, "Could not write maintenance provisioning status");
}

}  // namespace ravik
