// The maintenance modes of the command line: the build's fixed lock location
// handed to the maintenance module, with standard input and output. The
// installer modes parse their argument texts here and print one status line
// on success.
#include "main/mode_maintenance.h"

#include <unistd.h>

#include "error/decimal.h"
#include "io/fd_stream.h"
#include "maintenance/hold_mode.h"
#include "maintenance/installer_lease.h"
#include "maintenance/maintenance_lock.h"
#include "maintenance/maintenance_protocol.h"

namespace ravik {
namespace {

Result<std::int32_t> owner_pid_from(std::string_view text) {
  const std::optional<std::int32_t> pid = parse_owner_pid(text);
  if (!pid) {
    return fail(codes::kMaintenanceProtocol,
                "Installer owner PID must be a positive integer.");
  }
  return *pid;
}

Result<void> write_installer_status(const InstallerStatus& status) {
  const auto encoded = encode_installer_status(status);
  if (!encoded) {
    return fail(codes::kMaintenanceProtocol,
                "Could not encode installer maintenance status: " + encoded.error());
  }
  return write_line(STDOUT_FILENO, *encoded,
                    "Could not write installer maintenance status");
}

}  // namespace

Result<void> run_maintenance_provision_mode(const BuildProfile& profile) {
  return provision_maintenance(profile.maintenance_location(), STDOUT_FILENO);
}

Result<void> run_maintenance_hold_mode(const BuildProfile& profile, std::string_view mode,
                                       std::string_view timeout_ms) {
  DescriptorByteSource input(STDIN_FILENO);
  return run_maintenance_hold(profile.maintenance_location(), mode, timeout_ms, input,
                              STDOUT_FILENO);
}

Result<void> run_installer_begin_mode(const BuildProfile& profile,
                                      std::string_view protocol,
                                      std::string_view lease_state,
                                      std::string_view owner_pid,
                                      std::string_view timeout_ms) {
  RAVIK_ASSIGN_OR_RETURN(const std::int32_t pid, owner_pid_from(owner_pid));
  const std::optional<std::uint64_t> timeout = parse_unsigned_decimal(timeout_ms);
  if (!timeout) {
    return fail(codes::kMaintenanceProtocol,
                "Installer maintenance timeout must be an unsigned integer.");
  }
  RAVIK_RETURN_IF_ERROR(installer_begin(profile.maintenance_location(), protocol,
                                        lease_state, pid, MaintenanceTimeout(*timeout),
                                        write_installer_status));
  return {};
}

Result<void> run_installer_assert_owner_mode(const BuildProfile& profile,
                                             std::string_view protocol,
                                             std::string_view lease_state,
                                             std::string_view owner_pid) {
  RAVIK_ASSIGN_OR_RETURN(const std::int32_t pid, owner_pid_from(owner_pid));
  RAVIK_ASSIGN_OR_RETURN(
      const InstallerStatus status,
      installer_assert_owner(profile.maintenance_location(), protocol, lease_state, pid));
  return write_installer_status(status);
}

Result<void> run_installer_end_mode(const BuildProfile& profile,
                                    std::string_view protocol,
                                    std::string_view lease_state) {
  RAVIK_ASSIGN_OR_RETURN(
      const InstallerStatus status,
      installer_end(profile.maintenance_location(), protocol, lease_state));
  return write_installer_status(status);
}

}  // namespace ravik
