// guardian_exchange: the client side of the guardian socket, used by the
// installer modes. One request, one answer, on a fresh connection that is
// closed on every path. Thread-safe (no shared state).
#ifndef RAVIK_MAINTENANCE_GUARDIAN_CLIENT_H_
#define RAVIK_MAINTENANCE_GUARDIAN_CLIENT_H_

#include <string_view>

#include "error/helper_error.h"
#include "maintenance/guardian_records.h"
#include "maintenance/installer_state.h"

namespace ravik {

// Sends `command` ("status" or "end") with the state's token and lease ID
// to the guardian at the state's socket, and returns its answer once its
// protocol tag and request ID match the request; the status, lease ID and
// PIDs are for the caller to judge. The socket must be a root-owned socket
// of mode 0600 with one link, served by a root process. Fails with
// "MAINTENANCE_UNAVAILABLE" (an unreachable or untrusted guardian) or
// "MAINTENANCE_PROTOCOL" (no answer, or an invalid or mismatching one).
Result<GuardianResponse> guardian_exchange(const InstallerLeaseState& state,
                                           std::string_view command);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_GUARDIAN_CLIENT_H_
