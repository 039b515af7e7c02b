// The "--maintenance-hold MODE --timeout-ms N" mode: another program holds
// the system maintenance lock through this process. The helper takes the
// lock, announces it with a random lease ID, and keeps it until a matching
// release request arrives, the input ends, or the process dies (the kernel
// then drops the lock). Single-threaded: the mode owns its input and output
// for the whole hold and installs no signal handlers.
#ifndef RAVIK_MAINTENANCE_HOLD_MODE_H_
#define RAVIK_MAINTENANCE_HOLD_MODE_H_

#include <string_view>

#include "error/helper_error.h"
#include "io/byte_source.h"
#include "maintenance/maintenance_location.h"
#include "maintenance/maintenance_lock.h"

namespace ravik {

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
