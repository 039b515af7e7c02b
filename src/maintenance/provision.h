// provision_maintenance: the "--maintenance-provision" mode. The installed,
// elevated helper creates whatever of the maintenance directory and lock file
// is missing, checks everything, proves the file can be locked, and reports
// the lock path. Idempotent: on a provisioned machine it only checks, locks,
// unlocks and prints the same line. Single-threaded use.
#ifndef RAVIK_MAINTENANCE_PROVISION_H_
#define RAVIK_MAINTENANCE_PROVISION_H_

#include <string>

#include "error/helper_error.h"
#include "maintenance/maintenance_location.h"
#include "maintenance/protocol_tag.h"

namespace ravik {

// {"path":...,"protocol":"ravik-system-maintenance-v1","status":"provisioned"}
// (keys sorted), or the encoder's failure as "MAINTENANCE_UNAVAILABLE".
Result<std::string> provisioned_line(const std::string& lock_path);

// Provisions `location` and writes the provisioned line to `output_fd`. Fails
// with "MAINTENANCE_PROVISIONING_REQUIRED" unless the effective user ID is 0,
// with "MAINTENANCE_BUSY" at once when the lock is held exclusively, and with
// the errors of MaintenanceLock::acquire_default; nothing is written to
// `output_fd` on failure.
Result<void> provision_maintenance(const MaintenanceLocation& location, int output_fd);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_PROVISION_H_
