// Removing the guardian's files (the lease-state file and the socket) only
// when they are exactly what the guardian may remove: stale files of an
// earlier guardian that are plainly the helper's own, or the very files this
// guardian created. Anything else is refused, never repaired. Each removal
// is made durable in its directory. Thread-safe (no shared state).
#ifndef RAVIK_MAINTENANCE_GUARDIAN_FILES_H_
#define RAVIK_MAINTENANCE_GUARDIAN_FILES_H_

#include <string>

#include "error/helper_error.h"
#include "maintenance/installer_state.h"

namespace ravik {

// Nothing at `path` is fine. Otherwise removes it if it is root-owned with
// one link and a regular file or, when `socket_expected`, a socket. Fails
// with "MAINTENANCE_UNAVAILABLE", "Refused to replace unsafe installer
// maintenance state." for anything else (a directory, a symbolic link,
// another owner, more links).
Result<void> remove_stale_installer_path(const std::string& path, bool socket_expected);

// Removes `path` only while it still names `identity`, root-owned with one
// link, of the expected type. Fails with "MAINTENANCE_UNAVAILABLE" (a
// missing path included).
Result<void> remove_installer_path_exact(const std::string& path, FileIdentity identity,
                                         bool socket_expected);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_GUARDIAN_FILES_H_
