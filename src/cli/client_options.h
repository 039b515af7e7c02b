// The client's command line: the subcommands write, verify, recover, backup,
// check and list,
// with --help, help COMMAND and --version (see `ravik-device-client --help`).
//
// Parsing reads nothing but the checksum file of --sha256 @FILE;
// thread-safe.
#ifndef RAVIK_CLI_CLIENT_OPTIONS_H_
#define RAVIK_CLI_CLIENT_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "job/job_options.h"

namespace ravik::cli {

// The parsed options; or the text asked for by --help, help COMMAND or
// --version (to print, then exit 0); or the reason the arguments (without the
// program name) are not a valid command line.
struct ParsedCommandLine {
  std::optional<job::JobOptions> options;
  std::string error;
  std::string requested_text;
};

ParsedCommandLine parse_client_command_line(std::span<const std::string_view> args);

}  // namespace ravik::cli

#endif  // RAVIK_CLI_CLIENT_OPTIONS_H_
