#include "client/client_options.h"

#include <charconv>
#include <set>

namespace ravik::client {
namespace {

std::optional<std::uint64_t> parse_bytes(std::string_view text) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

ParsedCommandLine refuse(std::string reason) { return {std::nullopt, std::move(reason)}; }

}  // namespace

std::string_view end_command_type(EndCommand end) {
  switch (end) {
    case EndCommand::kRelease:
      return "release";
    case EndCommand::kEject:
      return "eject";
    case EndCommand::kClose:
      return "close";
  }
  return "release";
}

ParsedCommandLine parse_client_command_line(std::span<const std::string_view> args) {
  if (args.empty() || (args[0] != "write" && args[0] != "recover")) {
    return refuse("the first argument must be the command \"write\" or \"recover\"");
  }
  ClientOptions options;
  const bool recover = args[0] == "recover";
  if (recover) {
    options.command = ClientCommand::kRecover;
    // A format-only session cannot be released, only ejected or closed.
    options.end = EndCommand::kEject;
  }
  std::vector<std::string_view> positional;
  std::set<std::string_view> seen;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (!arg.starts_with("--")) {
      positional.push_back(arg);
      continue;
    }
    if (arg != "--boot-file" && !seen.insert(arg).second) {
      return refuse(std::string(arg) + " was given more than once");
    }
    if (arg == "--no-verify") {
      if (recover) return refuse("--no-verify does not apply to recover");
      options.verify = false;
      continue;
    }
    if (arg == "--json") {
      options.json = true;
      continue;
    }
    static const std::set<std::string_view> kWithValue = {
        "--helper", "--protected-prefix", "--tail", "--boot-file", "--read-boot-file",
        "--end",    "--cancel-after",     "--label"};
    static const std::set<std::string_view> kForRecover = {"--helper", "--end",
                                                           "--label"};
    if (!kWithValue.contains(arg)) return refuse("unknown option " + std::string(arg));
    if (recover != kForRecover.contains(arg) && arg != "--helper" && arg != "--end") {
      return refuse(std::string(arg) + " does not apply to " + std::string(args[0]));
    }
    if (i + 1 >= args.size()) return refuse(std::string(arg) + " needs a value");
    const std::string_view value = args[++i];
    if (arg == "--helper") {
      if (value.empty()) return refuse("--helper needs a path");
      options.helper_path = std::string(value);
    } else if (arg == "--protected-prefix" || arg == "--cancel-after") {
      auto bytes = parse_bytes(value);
      if (!bytes) {
        return refuse(std::string(arg) + " needs a byte count, not \"" +
                      std::string(value) + "\"");
      }
      if (arg == "--protected-prefix") {
        options.protected_prefix_bytes = *bytes;
      } else {
        options.cancel_after_bytes = *bytes;
      }
    } else if (arg == "--tail") {
      if (value != "exact" && value != "zero-pad-sector") {
        return refuse("--tail must be exact or zero-pad-sector");
      }
      options.tail_policy = std::string(value);
    } else if (arg == "--label") {
      options.volume_label = std::string(value);
    } else if (arg == "--read-boot-file") {
      options.read_boot_file = std::string(value);
    } else if (arg == "--end") {
      if (value == "release" && recover) {
        return refuse("--end must be eject or close for recover");
      } else if (value == "release") {
        options.end = EndCommand::kRelease;
      } else if (value == "eject") {
        options.end = EndCommand::kEject;
      } else if (value == "close") {
        options.end = EndCommand::kClose;
      } else {
        return refuse("--end must be release, eject or close");
      }
    } else {  // --boot-file
      const std::size_t equals = value.find('=');
      if (equals == std::string_view::npos || equals == 0 || equals + 1 == value.size()) {
        return refuse("--boot-file needs NAME=LOCALFILE");
      }
      options.boot_files.push_back(
          {std::string(value.substr(0, equals)), std::string(value.substr(equals + 1))});
    }
  }
  if (recover) {
    if (positional.size() != 1) return refuse("recover needs exactly TARGET");
    if (!seen.contains("--label")) return refuse("recover needs --label LABEL");
    options.target_path = std::string(positional[0]);
    return {std::move(options), {}};
  }
  if (positional.size() != 2) return refuse("write needs exactly IMAGE and TARGET");
  options.image_path = std::string(positional[0]);
  options.target_path = std::string(positional[1]);
  return {std::move(options), {}};
}

}  // namespace ravik::client
