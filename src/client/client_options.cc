#include "client/client_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "error/decimal.h"
#include "protocol/request_validation.h"

namespace ravik::client {
namespace {

bool is_hex_digest(const std::string& text) {
  return text.size() == 64 && std::ranges::all_of(text, [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// Scripts tell the outcomes apart by these; every command's help shows them.
constexpr const char* kExitStatusHelp =
    "Exit status: 0 every disk written and verified (or the command done); "
    "1 a disk or more failed (with --json each disk's record says which, with "
    "the helper's errorCode); 2 the command line was refused; 130 interrupted "
    "(Ctrl-C or SIGTERM).";

constexpr const char* kImageHelp =
    "Disk image: raw, or gzip, xz, zstd, bzip2 or a zip of one file (recognised by "
    "content)";

std::string lower_case(std::string text) {
  std::ranges::transform(text, text.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  return text;
}

std::string_view last_path_part(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

ParsedCommandLine refuse(std::string reason) {
  return {std::nullopt, std::move(reason), {}};
}

// The raw texts CLI11 collects; checked and converted once parsing succeeded,
// so that every refusal names the option and the value it could not take.
struct RawOptions {
  std::string protected_prefix;
  std::string cancel_after;
  std::string stall_limit;
  std::string end;
  std::vector<std::string> boot_files;
  std::string help_topic;
  std::vector<std::string> write_targets;
  bool no_verify = false;
};

// Adds the options every session-running subcommand shares.
void add_session_options(CLI::App& command, ClientOptions& options, RawOptions& raw,
                         const char* end_help) {
  command
      .add_option("--helper", options.helper_path,
                  "Helper program to run (default: the one installed beside this "
                  "client); through sudo when not root and TARGET is a disk")
      ->type_name("PATH");
  command.add_option("--end", raw.end, end_help)->type_name("HOW");
  command.add_flag("--json", options.json,
                   "Print the helper's events as JSON lines (with several disks one "
                   "diskResult per disk instead), then the job's result");
  command.add_flag("--quiet,-q", options.quiet,
                   "No progress: only failures and the final result");
  command.add_flag("--yes,-y", options.assume_yes,
                   "Do not ask before overwriting the disk (asked only on a terminal)");
}

// A command's help, its usage line naming the program as it is typed.
std::string help_of(const CLI::App& app, const CLI::App* command) {
  if (command == nullptr) return app.help();
  std::string text = command->help();
  const std::string usage = "Usage: " + command->get_name() + " ";
  if (const std::size_t at = text.find(usage); at != std::string::npos) {
    text.replace(at, usage.size(),
                 "Usage: " + app.get_name() + " " + command->get_name() + " ");
  }
  return text;
}

std::optional<EndCommand> parse_end(const std::string& value) {
  if (value == "release") return EndCommand::kRelease;
  if (value == "eject") return EndCommand::kEject;
  if (value == "close") return EndCommand::kClose;
  return std::nullopt;
}

// The subcommands, their options bound to `options` and `raw`.
struct Commands {
  CLI::App* write;
  CLI::App* verify;
  CLI::App* recover;
  CLI::App* list;
  CLI::App* help;
};

CLI::App* add_write_command(CLI::App& app, ClientOptions& options, RawOptions& raw) {
  CLI::App* write = app.add_subcommand(
      "write", "Write IMAGE to the whole disk TARGET (to several at once)");
  write->add_option("IMAGE", options.image_path, kImageHelp)->type_name("")->required();
  write
      ->add_option("TARGET", raw.write_targets,
                   "Whole disk, e.g. /dev/sdb; several are written at once")
      ->type_name("")
      ->required();
  write
      ->add_option("--sha256", options.sha256,
                   "The image's published SHA-256 (skips hashing it first); @FILE: "
                   "the line naming IMAGE in a sha256sum checksum file")
      ->type_name("HEX|@FILE");
  write
      ->add_option("--protected-prefix", raw.protected_prefix,
                   "Bytes at the start written last, after the rest is proven "
                   "(default: the partition-table area, 1 to 16 MiB; 0: none)")
      ->type_name("BYTES");
  write
      ->add_option("--tail", options.tail_policy,
                   "exact (default), or zero-pad-sector: the last sector filled out")
      ->type_name("POLICY")
      ->check(CLI::IsMember({"exact", "zero-pad-sector"}));
  write->add_flag("--no-verify", raw.no_verify,
                  "Do not read the disk back after the write");
  write->add_flag("--verify-again", options.verify_again,
                  "Read the whole disk back once more, even when the helper's "
                  "readback before it wrote the partition table proved it");
  write
      ->add_option("--boot-file", raw.boot_files,
                   "NAME=LOCALFILE: replace a file of the boot partition after the "
                   "write (repeatable)")
      ->type_name("NAME=LOCALFILE");
  write
      ->add_option("--read-boot-file", options.read_boot_file,
                   "Print a boot partition file after the write")
      ->type_name("NAME");
  write
      ->add_option("--cancel-after", raw.cancel_after,
                   "Abort the image stream after this many bytes")
      ->type_name("BYTES")
      ->group("");
  write
      ->add_option("--stall-limit", raw.stall_limit,
                   "Give up a disk that shows no progress for SECONDS (default: 60)")
      ->type_name("SECONDS");
  add_session_options(*write, options, raw,
                      "How the session ends: release (default), eject or close");
  return write;
}

CLI::App* add_verify_command(CLI::App& app, ClientOptions& options) {
  CLI::App* verify = app.add_subcommand(
      "verify", "Check that the disk TARGET begins with IMAGE (reads the disk itself)");
  verify->add_option("IMAGE", options.image_path, kImageHelp)->type_name("")->required();
  verify->add_option("TARGET", options.target_path, "Whole disk or file")
      ->type_name("")
      ->required();
  verify
      ->add_option("--sha256", options.sha256,
                   "The image's published SHA-256, or @FILE (a sha256sum checksum file)")
      ->type_name("HEX|@FILE");
  verify->add_flag("--quiet,-q", options.quiet,
                   "No progress: only failures and the final result");
  return verify;
}

CLI::App* add_recover_command(CLI::App& app, ClientOptions& options, RawOptions& raw) {
  CLI::App* recover =
      app.add_subcommand("recover", "Lay out TARGET as one FAT32 partition");
  recover->add_option("TARGET", options.target_path, "Whole disk")
      ->type_name("")
      ->required();
  recover->add_option("--label", options.volume_label, "FAT volume label")
      ->type_name("LABEL")
      ->required();
  add_session_options(*recover, options, raw,
                      "How the session ends: eject (default) or close");
  return recover;
}

Commands add_commands(CLI::App& app, ClientOptions& options, RawOptions& raw) {
  Commands commands{.write = add_write_command(app, options, raw),
                    .verify = add_verify_command(app, options),
                    .recover = add_recover_command(app, options, raw),
                    .list = nullptr,
                    .help = nullptr};
  commands.list = app.add_subcommand("list", "Show the removable disks a write accepts");
  commands.list->add_flag("--all", options.list_all,
                          "Also show every other disk and why it is not offered");
  commands.list->add_flag("--json", options.json, "One JSON object per disk");
  commands.list->add_flag("--loop-devices", options.list_loop_devices,
                          "Offer loop devices, as the testing helper accepts them");

  commands.help = app.add_subcommand("help", "Show the help of COMMAND");
  commands.help->add_option("COMMAND", raw.help_topic, "write, verify, recover or list");
  return commands;
}

// --sha256 taken from its @FILE when it names one, lower-cased and checked;
// or why it cannot be.
std::optional<std::string> settle_sha256(ClientOptions& options) {
  if (options.sha256 && options.sha256->starts_with('@')) {
    const std::string file = options.sha256->substr(1);
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) return "--sha256 " + *options.sha256 + ": could not read " + file;
    auto digest = digest_for_image(text.str(), options.image_path);
    if (!digest) {
      return "--sha256 " + *options.sha256 + ": " + file + " holds no SHA-256 line for " +
             std::string(last_path_part(options.image_path));
    }
    options.sha256 = std::move(digest);
  }
  if (options.sha256) {
    options.sha256 = lower_case(*options.sha256);
    if (!is_hex_digest(*options.sha256)) {
      return "--sha256 needs 64 hexadecimal digits";
    }
  }
  return std::nullopt;
}

// --end, which recover cannot end with release; or why it is refused.
std::optional<std::string> settle_end(const RawOptions& raw, ClientOptions& options) {
  if (raw.end.empty()) return std::nullopt;
  const bool recovering = options.command == ClientCommand::kRecover;
  const auto end = parse_end(raw.end);
  if (!end || (recovering && *end == EndCommand::kRelease)) {
    return recovering ? "--end must be eject or close for recover"
                      : "--end must be release, eject or close";
  }
  options.end = *end;
  return std::nullopt;
}

// write's targets, numbers and boot files; or why one is refused.
std::optional<std::string> settle_write_options(const CLI::App& write,
                                                const RawOptions& raw,
                                                ClientOptions& options) {
  options.target_path = raw.write_targets.front();
  options.more_target_paths.assign(raw.write_targets.begin() + 1,
                                   raw.write_targets.end());
  if (!options.more_target_paths.empty() && options.read_boot_file) {
    return "--read-boot-file takes one TARGET";
  }
  options.verify = !raw.no_verify;
  for (const auto& [text, target] :
       {std::pair{&raw.protected_prefix, "--protected-prefix"},
        std::pair{&raw.cancel_after, "--cancel-after"},
        std::pair{&raw.stall_limit, "--stall-limit"}}) {
    if (text->empty() && write.count(target) == 0) continue;
    auto bytes = parse_decimal<std::uint64_t>(*text);
    if (!bytes) {
      return std::string(target) + " needs a byte count, not \"" + *text + "\"";
    }
    if (text == &raw.protected_prefix) {
      if (*bytes > kMaxProtectedPrefixBytes) {
        return "--protected-prefix may hold back at most " +
               std::to_string(kMaxProtectedPrefixBytes) + " bytes (16 MiB)";
      }
      options.protected_prefix_bytes = *bytes;
    } else if (text == &raw.stall_limit) {
      if (*bytes == 0) return "--stall-limit needs at least 1 second";
      options.stall_limit_seconds = *bytes;
    } else {
      options.cancel_after_bytes = *bytes;
    }
  }
  for (const std::string& value : raw.boot_files) {
    const std::size_t equals = value.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == value.size()) {
      return "--boot-file needs NAME=LOCALFILE";
    }
    const std::string name = value.substr(0, equals);
    if (!validate_boot_file_name(name)) {
      return "--boot-file: \"" + name +
             "\" is not a file name of the boot partition's root (letters, digits, '-', "
             "'.' and '_', starting with a letter or digit)";
    }
    options.boot_files.push_back({name, value.substr(equals + 1)});
  }
  return std::nullopt;
}

// The names that reach the helper, and --helper; or why one is refused.
std::optional<std::string> check_names(const ClientOptions& options, bool recovering) {
  if (options.read_boot_file && !validate_boot_file_name(*options.read_boot_file)) {
    return "--read-boot-file: \"" + *options.read_boot_file +
           "\" is not a file name of the boot partition's root";
  }
  if (recovering && !validate_volume_label(options.volume_label)) {
    return "--label needs 1 to 11 characters: upper-case letters, digits, blanks inside "
           "and punctuation other than \"*+,./:;<=>?[\\]|";
  }
  if (options.helper_path && options.helper_path->empty()) {
    return "--helper needs a path";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> digest_for_image(std::string_view checksums,
                                            std::string_view image_path) {
  std::vector<std::string> digests;
  std::optional<std::string> named;
  std::istringstream lines{std::string(checksums)};
  for (std::string line; std::getline(lines, line);) {
    if (line.ends_with('\r')) line.pop_back();
    // "DIGEST  NAME", or "DIGEST *NAME" for a file hashed as binary.
    if (line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*')) {
      continue;
    }
    std::string digest = lower_case(line.substr(0, 64));
    if (!is_hex_digest(digest)) continue;
    digests.push_back(digest);
    if (last_path_part(std::string_view(line).substr(66)) == last_path_part(image_path)) {
      named = std::move(digest);
    }
  }
  // A piped image has no name to look for; a file of one digest names it.
  if (!named && image_path == "-" && digests.size() == 1) named = digests.front();
  return named;
}

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
  ClientOptions options;
  RawOptions raw;
  CLI::App app("Writes disk images to removable disks through the device helper.",
               "ravik-device-client");
  app.set_version_flag("--version", "ravik-device-client " RAVIK_VERSION);
  app.require_subcommand(1);
  app.footer(kExitStatusHelp);
  const Commands commands = add_commands(app, options, raw);
  commands.write->footer(kExitStatusHelp);
  if (!args.empty() && !args[0].starts_with("-")) {
    try {
      (void)app.get_subcommand(std::string(args[0]));
    } catch (const CLI::OptionNotFound&) {
      return refuse("there is no command \"" + std::string(args[0]) + "\"");
    }
  }
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    const CLI::App* asked = nullptr;
    for (const CLI::App* command : app.get_subcommands()) asked = command;
    return {std::nullopt, {}, help_of(app, asked)};
  } catch (const CLI::CallForVersion& version) {
    return {std::nullopt, {}, std::string(version.what()) + "\n"};
  } catch (const CLI::ParseError& error) {
    return refuse(error.what());
  }

  if (commands.help->parsed()) {
    if (raw.help_topic.empty()) return {std::nullopt, {}, app.help()};
    try {
      return {std::nullopt, {}, help_of(app, app.get_subcommand(raw.help_topic))};
    } catch (const CLI::OptionNotFound&) {
      return refuse("there is no command \"" + raw.help_topic + "\"");
    }
  }
  if (commands.list->parsed()) {
    options.command = ClientCommand::kList;
    return {std::move(options), {}, {}};
  }
  if (commands.verify->parsed()) options.command = ClientCommand::kVerify;
  if (commands.recover->parsed()) {
    options.command = ClientCommand::kRecover;
    // A format-only session cannot be released, only ejected or closed.
    options.end = EndCommand::kEject;
  }
  std::optional<std::string> refused = settle_sha256(options);
  if (!refused) refused = settle_end(raw, options);
  if (!refused && commands.write->parsed()) {
    refused = settle_write_options(*commands.write, raw, options);
  }
  if (!refused) refused = check_names(options, commands.recover->parsed());
  if (refused) return refuse(std::move(*refused));
  return {std::move(options), {}, {}};
}

}  // namespace ravik::client
