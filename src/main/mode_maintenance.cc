// The maintenance modes of the command line: the build's fixed lock location
// handed to the maintenance module, with standard input and output.
#include <unistd.h>

#include "io/fd_stream.h"
#include "main/modes.h"
#include "maintenance/hold_mode.h"
#include "maintenance/provision.h"
#include "maintenance/release_line.h"

namespace ravik {
namespace {

MaintenanceLocation location_of(const BuildProfile& profile) {
  return MaintenanceLocation{
      .base_directory = std::string(profile.maintenance_base_directory),
      .directory_name = std::string(profile.maintenance_directory_name),
  };
}

}  // namespace

Result<void> run_maintenance_provision_mode(const BuildProfile& profile) {
  return provision_maintenance(location_of(profile), STDOUT_FILENO);
}

Result<void> run_maintenance_hold_mode(const BuildProfile& profile, std::string_view mode,
                                       std::string_view timeout_ms) {
  DescriptorByteSource input(STDIN_FILENO);
  return run_maintenance_hold(location_of(profile), mode, timeout_ms, input,
                              STDOUT_FILENO);
}

}  // namespace ravik
