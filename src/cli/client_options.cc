#include "cli/client_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <fstream>
#include <sstream>

#include "error/decimal.h"
#include "job/checksum_file.h"
#include "protocol/request_validation.h"

namespace ravik::cli {

using job::BootFile;
using job::ClientCommand;
using job::Elevation;
using job::EndCommand;
using job::JobOptions;
namespace {

constexpr std::string_view kDefaultVolumeLabel = "USB DISK";

// Scripts tell the outcomes apart by these; every command's help shows them.
constexpr const char* kExitStatusHelp =
    "Exit status: 0 when every disk was written and verified (or the command "
    "succeeded); 1 when a disk or more failed (with --json each disk's record says "
    "which, with "
    "the helper's errorCode); 2 the command line was refused; 130 interrupted "
    "(Ctrl-C or SIGTERM).";

constexpr const char* kImageHelp =
    "Disk image: raw, or gzip, xz, zstd, bzip2 or a zip of one file (recognised by "
    "content)";

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
  std::string elevate;
  std::vector<std::string> boot_files;
  std::string help_topic;
  std::vector<std::string> write_targets;
  bool no_verify = false;
};

// Adds the options every session-running subcommand shares.
void add_session_options(CLI::App& command, JobOptions& options, RawOptions& raw,
                         const char* end_help) {
  command
      .add_option("--helper", options.helper_path,
                  "Helper program to run (default: the one installed beside this "
                  "client); through sudo when not root and TARGET is a disk")
      ->type_name("PATH");
  command.add_option("--end", raw.end, end_help)->type_name("HOW");
  command
      .add_option("--elevate", raw.elevate,
                  "How to run the helper as root when not root: sudo or pkexec "
                  "(default: sudo with a terminal, pkexec in a graphical session "
                  "without one)")
      ->type_name("HOW");
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
  CLI::App* backup;
  CLI::App* check;
  CLI::App* help;
};

CLI::App* add_write_command(CLI::App& app, JobOptions& options, RawOptions& raw) {
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
                   "The published SHA-256 of IMAGE: of the file as downloaded, or of "
                   "the image it decompresses to; @FILE: the line naming IMAGE in a "
                   "checksum file (sha256sum or BSD lines, also clear-signed)")
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
  write->add_flag("--check", options.check_capacity,
                  "First prove that every byte of each disk is real (see check); "
                  "a counterfeit disk is not written");
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
  write->footer(
      "Everything on TARGET is erased: the image replaces the whole disk, its partition "
      "table and every file system on it.\n\n"
      "Examples:\n"
      "  ravik-device-client list\n"
      "      the disks a write accepts\n"
      "  ravik-device-client write --sha256 @SHA256SUMS os.img.xz /dev/sdb\n"
      "      the published checksum file names os.img.xz; the download is checked, then "
      "written\n"
      "  ravik-device-client write os.img /dev/sdb /dev/sdc --yes\n"
      "      two sticks at once, without asking (as a script must)\n"
      "  xz -dc os.img.xz | ravik-device-client write --sha256 HEX - /dev/sdb\n"
      "      from a pipe, with the decompressed image's digest\n"
      "  ravik-device-client write os.img /dev/sdb --boot-file config.txt=my-config.txt\n"
      "      then replace a file of the boot partition\n\n" +
      std::string(kExitStatusHelp));
  return write;
}

CLI::App* add_verify_command(CLI::App& app, JobOptions& options) {
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

CLI::App* add_recover_command(CLI::App& app, JobOptions& options, RawOptions& raw) {
  CLI::App* recover =
      app.add_subcommand("recover", "Lay out TARGET as one FAT32 partition");
  recover->add_option("TARGET", options.target_path, "Whole disk")
      ->type_name("")
      ->required();
  recover
      ->add_option("--label", options.volume_label,
                   "FAT volume label, stored upper-case as FAT keeps it (default: " +
                       std::string(kDefaultVolumeLabel) + ")")
      ->type_name("LABEL");
  add_session_options(*recover, options, raw,
                      "How the session ends: eject (default) or close");
  return recover;
}

CLI::App* add_backup_command(CLI::App& app, JobOptions& options, RawOptions& raw) {
  CLI::App* backup = app.add_subcommand(
      "backup", "Save the whole disk DISK as IMAGE, with IMAGE.sha256 beside it");
  backup->add_option("DISK", options.target_path, "Whole disk, e.g. /dev/sdb")
      ->type_name("")
      ->required();
  backup
      ->add_option("IMAGE", options.image_path,
                   "File to make, compressed by its name: .zst, .xz, .gz, else raw")
      ->type_name("")
      ->required();
  backup->add_flag("--overwrite", options.overwrite,
                   "Replace IMAGE and IMAGE.sha256 when they exist");
  backup
      ->add_option("--cancel-after", raw.cancel_after,
                   "Abort the backup after this many bytes")
      ->type_name("BYTES")
      ->group("");
  add_session_options(*backup, options, raw,
                      "How the session ends: release (default), eject or close");
  return backup;
}

CLI::App* add_check_command(CLI::App& app, JobOptions& options, RawOptions& raw) {
  CLI::App* check = app.add_subcommand(
      "check",
      "Find how much of DISK is real (erases it: a counterfeit is found by writing)");
  check->add_option("DISK", options.target_path, "Whole disk")->type_name("")->required();
  add_session_options(*check, options, raw,
                      "How the session ends: eject (default) or close");
  return check;
}

Commands add_commands(CLI::App& app, JobOptions& options, RawOptions& raw) {
  Commands commands{.write = add_write_command(app, options, raw),
                    .verify = add_verify_command(app, options),
                    .recover = add_recover_command(app, options, raw),
                    .list = nullptr,
                    .backup = add_backup_command(app, options, raw),
                    .check = add_check_command(app, options, raw),
                    .help = nullptr};
  commands.list = app.add_subcommand("list", "Show the removable disks a write accepts");
  commands.list->add_flag("--all", options.list_all,
                          "Also show every other disk and why it is not offered");
  commands.list->add_flag("--json", options.json, "One JSON object per disk");
  commands.list->add_flag("--loop-devices", options.list_loop_devices,
                          "Offer loop devices, as the testing helper accepts them");

  commands.help = app.add_subcommand("help", "Show the help of COMMAND");
  commands.help->add_option("COMMAND", raw.help_topic,
                            "write, verify, recover, backup, check or list");
  return commands;
}

// --sha256 taken from its @FILE when it names one, lower-cased and checked;
// or why it cannot be.
std::optional<std::string> settle_sha256(JobOptions& options) {
  if (!options.sha256) return std::nullopt;
  if (options.sha256->starts_with('@')) {
    const std::string file = options.sha256->substr(1);
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) return "--sha256 " + *options.sha256 + ": could not read " + file;
    const std::size_t slash = file.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : file.substr(0, slash + 1);
    auto digest = job::digest_for_image(text.str(), folder, options.image_path);
    if (!digest) return "--sha256 " + *options.sha256 + ": " + digest.error();
    options.sha256 = std::move(digest).value();
  }
  options.sha256 = job::normalized_sha256(*options.sha256);
  if (!options.sha256) return "--sha256 needs 64 hexadecimal digits";
  return std::nullopt;
}

// --end, which recover and check cannot end with release; or why it is
// refused.
std::optional<std::string> settle_end(const RawOptions& raw, JobOptions& options) {
  if (raw.end.empty()) return std::nullopt;
  const bool recovering = options.command == ClientCommand::kRecover;
  const bool format_only = recovering || options.command == ClientCommand::kCheck;
  const auto end = parse_end(raw.end);
  if (!end || (format_only && *end == EndCommand::kRelease)) {
    return format_only ? std::string("--end must be eject or close for ") +
                             (recovering ? "recover" : "check")
                       : "--end must be release, eject or close";
  }
  options.end = *end;
  return std::nullopt;
}

// --elevate; or why it is refused.
std::optional<std::string> settle_elevation(const RawOptions& raw, JobOptions& options) {
  if (raw.elevate.empty()) return std::nullopt;
  if (raw.elevate == "sudo") {
    options.elevation = Elevation::kSudo;
  } else if (raw.elevate == "pkexec") {
    options.elevation = Elevation::kPkexec;
  } else {
    return std::string("--elevate must be sudo or pkexec");
  }
  return std::nullopt;
}

// write's targets, numbers and boot files; or why one is refused.
std::optional<std::string> settle_write_options(const CLI::App& write,
                                                const RawOptions& raw,
                                                JobOptions& options) {
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
std::optional<std::string> check_names(JobOptions& options, bool recovering) {
  if (options.read_boot_file && !validate_boot_file_name(*options.read_boot_file)) {
    return "--read-boot-file: \"" + *options.read_boot_file +
           "\" is not a file name of the boot partition's root";
  }
  // FAT stores labels upper-case; a label typed in lower case means the same.
  std::ranges::transform(options.volume_label, options.volume_label.begin(), [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  });
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

ParsedCommandLine parse_client_command_line(std::span<const std::string_view> args) {
  JobOptions options;
  RawOptions raw;
  CLI::App app("Writes disk images to removable disks through the device helper.",
               "ravik-device-client");
  app.set_version_flag("--version", "ravik-device-client " RAVIK_VERSION);
  app.require_subcommand(1);
  app.footer(
      std::string(
          "write and recover erase the whole disk TARGET. Without a terminal to ask "
          "on they refuse unless --yes is given.\n\n") +
      kExitStatusHelp +
      "\n\nRun ravik-device-client help COMMAND for a command's options and "
      "examples.");
  const Commands commands = add_commands(app, options, raw);
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
  if (commands.recover->parsed() || commands.check->parsed()) {
    options.command =
        commands.recover->parsed() ? ClientCommand::kRecover : ClientCommand::kCheck;
    // A format-only session cannot be released, only ejected or closed.
    options.end = EndCommand::kEject;
    if (commands.recover->count("--label") == 0) {
      options.volume_label = std::string(kDefaultVolumeLabel);
    }
  }
  if (commands.backup->parsed()) {
    options.command = ClientCommand::kBackup;
    if (options.image_path == "-")
      return refuse("backup makes a file; IMAGE cannot be -");
    if (!raw.cancel_after.empty()) {
      auto bytes = parse_decimal<std::uint64_t>(raw.cancel_after);
      if (!bytes) {
        return refuse("--cancel-after needs a byte count, not \"" + raw.cancel_after +
                      "\"");
      }
      options.cancel_after_bytes = *bytes;
    }
  }
  std::optional<std::string> refused = settle_sha256(options);
  if (!refused) refused = settle_end(raw, options);
  if (!refused) refused = settle_elevation(raw, options);
  if (!refused && commands.write->parsed()) {
    refused = settle_write_options(*commands.write, raw, options);
  }
  if (!refused) refused = check_names(options, commands.recover->parsed());
  if (refused) return refuse(std::move(*refused));
  return {std::move(options), {}, {}};
}

}  // namespace ravik::cli
