// The installer lease flows behind the three "--maintenance-installer-*"
// modes: begin (start a guardian for an owner process, or adopt the one
// that already serves that owner), assert-owner (ask the guardian whether it
// still holds the lease for that owner) and end (ask it to end the lease).
// Each returns the InstallerStatus its mode prints. The mode processes are
// single-threaded; between concurrent begins the exclusive maintenance lock
// decides.
#ifndef RAVIK_MAINTENANCE_INSTALLER_LEASE_H_
#define RAVIK_MAINTENANCE_INSTALLER_LEASE_H_

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "error/helper_error.h"
#include "io/unique_fd.h"
#include "maintenance/maintenance_lock.h"

namespace ravik {

struct InstallerStatus {
  std::string status;  // "installerHeld", "installerOwnerConfirmed", "installerReleased"
  std::string lease_id;
  std::int32_t owner_pid = 0;
  std::int32_t guardian_pid = 0;
  bool adopted = false;
};

// {"protocol","status","leaseId","ownerPid","guardianPid","adopted"} without
// the line feed, or the encoder's error text.
std::expected<std::string, std::string> encode_installer_status(
    const InstallerStatus& status);

// A signed 32-bit decimal: an optional sign, then digits only, no overflow.
// Which values name an acceptable owner is decided by the flows.
std::optional<std::int32_t> parse_owner_pid(std::string_view text);

// A code text a guardian reported, as a code of the vocabulary: the three
// maintenance codes a guardian can mean pass, everything else is
// "MAINTENANCE_UNAVAILABLE".
ErrorCode maintenance_code(std::string_view code);

// The protocol tag, then `lease_state_path` naming the canonical lease-state
// path of `location`, then a root caller (`effective_uid`).
Result<void> validate_installer_invocation(const MaintenanceLocation& location,
                                           std::string_view protocol,
                                           std::string_view lease_state_path,
                                           uid_t effective_uid);

// Both ends close-on-exec: {read end, write end}.
Result<std::pair<UniqueFd, UniqueFd>> create_pipe();

// Tells the caller of begin what it holds (the mode prints the status line).
using InstallerStatusReport = std::function<Result<void>(const InstallerStatus&)>;

// The flows. `lease_state_path` is the path the caller gave; once it has
// been found to name the canonical path, the canonical spelling is used, so
// every spelling reaches the same files and derives the same socket path.
//
// Begin hands the status to `report` before it returns. When it started a
// guardian and then fails, the report's failure included, it ends that
// guardian's lease and reaps it before returning, so no lease outlives a
// failed begin; an adopted lease is left as it is.
Result<InstallerStatus> installer_begin(const MaintenanceLocation& location,
                                        std::string_view protocol,
                                        std::string_view lease_state_path,
                                        std::int32_t owner_pid,
                                        MaintenanceTimeout timeout,
                                        const InstallerStatusReport& report);
Result<InstallerStatus> installer_assert_owner(const MaintenanceLocation& location,
                                               std::string_view protocol,
                                               std::string_view lease_state_path,
                                               std::int32_t owner_pid);
Result<InstallerStatus> installer_end(const MaintenanceLocation& location,
                                      std::string_view protocol,
                                      std::string_view lease_state_path);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_INSTALLER_LEASE_H_
