// The maintenance hold: the release request it reads, the lines it writes,
// and the "--maintenance-hold" mode built on them.
#ifndef RAVIK_MAINTENANCE_HOLD_MODE_H_
#define RAVIK_MAINTENANCE_HOLD_MODE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "io/byte_source.h"
#include "json/strict_json.h"
#include "maintenance/maintenance_lock.h"

namespace ravik {

// ReleaseRequest: the one input of the maintenance hold, decoded as strictly
// as the control protocol (exactly four string members, none unknown,
// repeated or missing), and the rule for whether it releases a held lease.
// Pure functions; thread-safe.

struct ReleaseRequest {
  std::string protocol;
  std::string command;
  std::string lease_id;
  std::string request_id;
};

// One JSON object with exactly the string members "protocol", "command",
// "leaseId" and "requestId", in any order, and nothing after it but white
// space.
DecodeResult<ReleaseRequest> decode_release_request(std::string_view line);

// True when the request names this protocol, the command "release", the held
// lease ID byte for byte, and a request ID of 1 to 256 bytes without NUL.
bool release_request_matches(const ReleaseRequest& request,
                             std::string_view held_lease_id);

// The lines the maintenance hold writes: status lines, protocol error lines
// (the hold goes on) and the final error line (the hold ends). Each is one
// compact JSON object with its keys in a fixed order, then a line feed.
// Single-threaded use: nothing else may write to the output meanwhile.

// {"protocol","status","mode","leaseId"} and, for a release, "requestId".
Result<void> write_status(int output_fd, std::string_view status,
                          const MaintenanceLock& lock,
                          std::optional<std::string_view> request_id = std::nullopt);

// {"protocol","status":"error","code":"MAINTENANCE_PROTOCOL","message"}.
Result<void> write_protocol_error(int output_fd, std::string_view message);

// {"protocol","status":"error","code","message"} with the error's own code
// and its message passed through safe_message.
Result<void> write_maintenance_error(int output_fd, const HelperError& error);

// The "--maintenance-hold MODE --timeout-ms N" mode: another program holds
// the system maintenance lock through this process. The helper takes the
// lock, announces it with a random lease ID, and keeps it until a matching
// release request arrives, the input ends, or the process dies (the kernel
// then drops the lock). Single-threaded: the mode owns its input and output
// for the whole hold and installs no signal handlers.

// Writes "acquired", answers invalid and non-matching requests with protocol
// error lines, and on the first matching request writes "released" and
// unlocks. Returns the error that ends the hold (a reader failure, a write
// failure, or the failure to unlock); the lock goes with it.
Result<void> serve_stdio_hold(MaintenanceLock lock, ByteSource& input, int output_fd);

// The whole mode. A bad mode or timeout text fails with
// "MAINTENANCE_PROTOCOL" and writes nothing; every later failure is also
// written to `output_fd` as the final error line before it is returned.
Result<void> run_maintenance_hold(const MaintenanceLocation& location,
                                  std::string_view mode_text,
                                  std::string_view timeout_text, ByteSource& input,
                                  int output_fd);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_HOLD_MODE_H_
