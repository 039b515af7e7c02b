// The lines the maintenance hold writes: status lines, protocol error lines
// (the hold goes on) and the final error line (the hold ends). Each is one
// compact JSON object with its keys in a fixed order, then a line feed.
// Single-threaded use: nothing else may write to the output meanwhile.
#ifndef RAVIK_MAINTENANCE_HOLD_LINES_H_
#define RAVIK_MAINTENANCE_HOLD_LINES_H_

#include <optional>
#include <string_view>

#include "error/helper_error.h"
#include "maintenance/maintenance_lock.h"

namespace ravik {

// {"protocol","status","mode","leaseId"} and, for a release, "requestId".
Result<void> write_status(int output_fd, std::string_view status,
                          const MaintenanceLock& lock,
                          std::optional<std::string_view> request_id = std::nullopt);

// {"protocol","status":"error","code":"MAINTENANCE_PROTOCOL","message"}.
Result<void> write_protocol_error(int output_fd, std::string_view message);

// {"protocol","status":"error","code","message"} with the error's own code
// and its message passed through safe_message.
Result<void> write_maintenance_error(int output_fd, const HelperError& error);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_HOLD_LINES_H_
