// Where an installer lease is published: the lease-state file inside the
// protected maintenance directory and the guardian's socket beside it, and
// the comparison that decides whether a path a caller gave names the lease
// state. Pure functions; thread-safe.
#ifndef RAVIK_MAINTENANCE_INSTALLER_PATHS_H_
#define RAVIK_MAINTENANCE_INSTALLER_PATHS_H_

#include <optional>
#include <string>
#include <string_view>

#include "maintenance/maintenance_location.h"

namespace ravik {

inline constexpr std::string_view kInstallerLeaseStateFileName =
    "installer-lease-v1.json";
inline constexpr std::string_view kInstallerSocketFileName = "installer-lease-v1.sock";

// The protected directory of `location` joined with the lease-state name.
std::string installer_lease_state_path(const MaintenanceLocation& location);

// The directory of `lease_state_path` joined with the socket name; nothing
// when the path has no directory part.
std::optional<std::string> installer_socket_path(std::string_view lease_state_path);

// The directory of `path`, without its final component; nothing when the
// path has no directory part.
std::optional<std::string> parent_directory(std::string_view path);

// True when `given` names `canonical` component by component: repeated
// separators, "." components after the first and a trailing "/" do not
// matter; ".." is not resolved and letter case matters.
bool names_same_path(std::string_view given, std::string_view canonical);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_INSTALLER_PATHS_H_
