// Command-line dispatch and the common ending of every mode.
//
// One process runs one mode, chosen by exact matching of whole arguments at
// fixed positions. Success exits 0; failure writes one line "{code}: {message}"
// to standard error and exits 1.
#ifndef RAVIK_MAIN_COMMAND_LINE_H_
#define RAVIK_MAIN_COMMAND_LINE_H_

#include <span>
#include <string_view>

#include "error/helper_error.h"
#include "main/build_profile.h"
#include "protocol/client_message.h"  // kProtocolVersion

namespace ravik {

inline constexpr std::string_view kHelperVersion = "0.1.0";

// One line, 440 bytes.
inline constexpr std::string_view kUsageText =
    "Usage: ravik-unix-device-helper [--version|--protocol-version|"
    "--launch-sudo SUDO_ARGS...|--maintenance-provision|--maintenance-hold "
    "shared|exclusive --timeout-ms N|--cross-process-lock-hold --path PATH|"
    "--maintenance-installer-begin --protocol P --lease-state PATH --owner-pid "
    "PID --timeout-ms N|--maintenance-installer-assert-owner --protocol P "
    "--lease-state PATH --owner-pid PID|--maintenance-installer-end --protocol "
    "P --lease-state PATH]";

HelperError usage_error();

// Chooses and runs the mode for `args` (without the program name).
Result<void> dispatch_command_line(std::span<const std::string_view> args,
                                   const BuildProfile& profile);

// The whole process: ignores SIGPIPE, closes every descriptor the caller left
// open beyond the standard streams, refuses non-UTF-8 arguments as a usage
// error, dispatches, and returns the exit status after writing the final
// standard-error line of a failure.
int run_helper(int argc, char** argv, const BuildProfile& profile);

// Writes "{code}: {safe message}\n" to `fd`; a failed write is ignored.
void write_failure_line(int fd, const HelperError& error);

}  // namespace ravik

#endif  // RAVIK_MAIN_COMMAND_LINE_H_
