#include "main/modes.h"
#include "session/device_session.h"

namespace ravik {

Result<void> run_device_session_mode(const BuildProfile& profile) {
  const MaintenanceLocation location{
      .base_directory = std::string(profile.maintenance_base_directory),
      .directory_name = std::string(profile.maintenance_directory_name),
  };
  return run_raw_protocol(location, profile.device_openers);
}

}  // namespace ravik
