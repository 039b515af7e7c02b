// The client's command line:
//   ravik-device-client write IMAGE TARGET [--helper PATH]
//     [--protected-prefix BYTES] [--tail exact|zero-pad-sector] [--no-verify]
//     [--boot-file NAME=LOCALFILE]... [--read-boot-file NAME]
//     [--end release|eject|close] [--json] [--cancel-after BYTES]
//   ravik-device-client recover TARGET --label LABEL [--helper PATH]
//     [--end eject|close] [--json]
//
// Parsing is pure; thread-safe.
#ifndef RAVIK_CLIENT_CLIENT_OPTIONS_H_
#define RAVIK_CLIENT_CLIENT_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ravik::client {

enum class EndCommand { kRelease, kEject, kClose };

struct BootFile {
  std::string name;        // file name in the boot partition's root
  std::string local_path;  // where its new content comes from
};

enum class ClientCommand { kWrite, kRecover };

struct ClientOptions {
  ClientCommand command = ClientCommand::kWrite;
  std::string image_path;  // write only
  std::string target_path;
  std::optional<std::string> helper_path;  // absent: chosen from the target
  std::uint64_t protected_prefix_bytes = 0;
  std::string tail_policy = "exact";
  bool verify = true;
  std::vector<BootFile> boot_files;
  // A boot file printed to standard output after the writes.
  std::optional<std::string> read_boot_file;
  std::string volume_label;  // recover only
  EndCommand end = EndCommand::kRelease;
  bool json = false;
  // Abort the image stream once this many image bytes were sent.
  std::optional<std::uint64_t> cancel_after_bytes;
};

std::string_view end_command_type(EndCommand end);

inline constexpr std::string_view kClientUsage =
    "Usage: ravik-device-client write IMAGE TARGET [--helper PATH] "
    "[--protected-prefix BYTES] [--tail exact|zero-pad-sector] [--no-verify] "
    "[--boot-file NAME=LOCALFILE]... [--read-boot-file NAME] "
    "[--end release|eject|close] [--json] [--cancel-after BYTES]\n"
    "       ravik-device-client recover TARGET --label LABEL [--helper PATH] "
    "[--end eject|close] [--json]";

// The parsed options, or the reason the arguments (without the program name)
// are not a valid command line.
struct ParsedCommandLine {
  std::optional<ClientOptions> options;
  std::string error;
};

ParsedCommandLine parse_client_command_line(std::span<const std::string_view> args);

}  // namespace ravik::client

#endif  // RAVIK_CLIENT_CLIENT_OPTIONS_H_
