#include "client/job_preparation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "client/disk_listing.h"
#include "client/elevation.h"
#include "client/event_pump.h"
#include "client/image_source.h"
#include "client/installed_helper.h"
#include "client/protected_prefix.h"
#include "io/eintr.h"
#include "io/write_all.h"
#include "protocol/base64.h"

namespace ravik::client {
namespace {

using Clock = std::chrono::steady_clock;

// A disk the helper would refuse (the system's disk, a fixed one) is refused
// now, with the reason `list --all` gives. Loop devices pass: the testing
// helper takes them, and the production helper refuses them itself.
std::optional<std::string> not_offered(const TargetDescription& target,
                                       std::vector<std::string>& mounted) {
  if (target.regular_file) return std::nullopt;
  auto disk = list_disk(target.fields.device_id, LinuxSystemPaths{},
                        {.treat_loop_devices_as_removable = true});
  if (!disk) return disk.error().message();
  mounted = disk->mounted;
  if (disk->offered) return std::nullopt;
  return target.fields.device_path + " is not a disk a write accepts: " + disk->reason;
}

// On a terminal: names each disk and what will be unmounted, and asks.
bool confirmed(const ClientOptions& options,
               const std::vector<TargetDescription>& targets,
               const std::vector<std::vector<std::string>>& mounted,
               const JobStreams& streams) {
  std::string text;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const TargetDescription& target = targets[i];
    if (target.regular_file) continue;
    text += "  " + target.fields.device_path + "  " + target.fields.model.value_or("") +
            "  " + format_bytes(target.fields.size_bytes) + "\n";
    for (const std::string& point : mounted[i]) {
      text += "    its file system mounted on " + point + " will be unmounted\n";
    }
  }
  // An image piped in leaves the terminal to answer on.
  UniqueFd terminal;
  int answer_fd = STDIN_FILENO;
  if (options.image_path == "-" && streams.err_is_terminal) {
    terminal = UniqueFd(::open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (terminal) answer_fd = terminal.get();
  }
  if (text.empty() || options.assume_yes || ::isatty(answer_fd) != 1 ||
      !streams.err_is_terminal) {
    return true;
  }
  const std::string what =
      options.command == ClientCommand::kRecover ? "formatted" : "overwritten";
  text = "Everything on this disk will be " + what + ":\n" + text + "Continue? [y/N] ";
  write_output(streams.err_fd, text);
  std::string answer;
  char c = 0;
  while (::read(answer_fd, &c, 1) == 1 && c != '\n') answer.push_back(c);
  return answer == "y" || answer == "Y" || answer == "yes";
}

}  // namespace

std::string default_helper_path(const std::string& client_path,
                                bool regular_file_target) {
  if (!regular_file_target) return installed_helper_path(client_path);
  const std::size_t slash = client_path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : client_path.substr(0, slash);
  return directory + "/ravik-unix-device-helper-testing";
}

std::expected<std::vector<std::string>, std::string> read_boot_files(
    const std::vector<BootFile>& files) {
  constexpr std::uint64_t kMaxBootFile = 1'048'576;
  std::vector<std::string> contents;
  for (const BootFile& file : files) {
    UniqueFd fd(::open(file.local_path.c_str(), O_RDONLY | O_CLOEXEC));
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    ssize_t count = 0;
    while (fd && bytes.size() <= kMaxBootFile && (count = retry_on_eintr([&] {
                                                    return ::read(fd.get(), chunk,
                                                                  sizeof(chunk));
                                                  })) != 0) {
      if (count < 0) break;
      bytes.insert(bytes.end(), chunk, chunk + count);
    }
    if (!fd || count < 0) {
      return std::unexpected("could not read " + file.local_path + ": " +
                             os_error_text(errno) + ". Nothing was written.");
    }
    if (bytes.size() > kMaxBootFile) {
      return std::unexpected(file.local_path +
                             " is larger than the 1 MiB a boot file may hold. Nothing "
                             "was written.");
    }
    contents.push_back(base64_encode(bytes));
  }
  return contents;
}

Result<std::uint64_t> choose_protected_prefix(const ClientOptions& options,
                                              const ImageDigest& digest,
                                              const TargetDescription& target) {
  const std::uint64_t block = target.logical_block_size;
  if (!options.protected_prefix_bytes) {
    // The tables and boot code sit in the first MiB, or before the first
    // partition; reading one MiB finds a GPT's entries too.
    RAVIK_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> head,
                           read_image_head(options.image_path, 1024 * 1024));
    return default_protected_prefix(head, digest.size_bytes, block);
  }
  const std::uint64_t prefix = *options.protected_prefix_bytes;
  if (prefix > digest.size_bytes) {
    return fail(codes::kProtocolError, "--protected-prefix (" + std::to_string(prefix) +
                                           " bytes) is longer than the image (" +
                                           image_size_text(digest) +
                                           "). Nothing was written.");
  }
  if (block != 0 && prefix % block != 0) {
    return fail(codes::kProtocolError, "--protected-prefix must be whole blocks of " +
                                           target.fields.device_path + " (" +
                                           std::to_string(block) +
                                           " bytes each). Nothing was written.");
  }
  return prefix;
}

bool image_is_piped(const std::string& path) {
  struct stat info = {};
  return path == "-" || (::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode));
}

Result<std::optional<SpooledImage>> spool_piped_image(const ClientOptions& options,
                                                      std::uint64_t limit) {
  if (!image_is_piped(options.image_path)) return std::nullopt;
  UniqueFd named;
  if (options.image_path != "-") {
    named = UniqueFd(::open(options.image_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!named) {
      return fail(
          HelperError::io(codes::kImageMissing, "Could not open the image", errno));
    }
  }
  const int source = named ? named.get() : STDIN_FILENO;
  // On disk rather than in /tmp, which is often memory.
  const char* directory = std::getenv("TMPDIR");
  if (directory == nullptr || *directory == '\0') directory = "/var/tmp";
  UniqueFd spool(::open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!spool) {
    return fail(HelperError::io(codes::kImageMissing,
                                std::string("Could not make a temporary file in ") +
                                    directory + " for the piped image",
                                errno));
  }
  std::vector<char> buffer(1024 * 1024);
  std::uint64_t total = 0;
  for (;;) {
    const ssize_t count =
        retry_on_eintr([&] { return ::read(source, buffer.data(), buffer.size()); });
    if (count < 0) {
      return fail(
          HelperError::io(codes::kImageMissing, "Could not read the image", errno));
    }
    if (count == 0) break;
    total += static_cast<std::uint64_t>(count);
    if (total > limit) {
      return fail(codes::kImageMissing,
                  "The piped image is larger than " + format_bytes(limit) +
                      ", more than the disk takes. Nothing was written.");
    }
    if (auto written =
            write_all(spool.get(),
                      std::string_view(buffer.data(), static_cast<std::size_t>(count)));
        !written) {
      return fail(written.error().to_helper_error(
          codes::kImageMissing,
          std::string("Could not keep the piped image in ") + directory));
    }
  }
  std::string path = "/proc/self/fd/" + std::to_string(spool.get());
  return SpooledImage{.file = std::move(spool), .path = std::move(path)};
}

std::expected<PreparedTargets, std::string> prepare_targets(
    const ClientOptions& options, const std::string& client_path,
    const JobStreams& streams) {
  PreparedTargets prepared;
  if (image_is_piped(options.image_path) && !options.sha256) {
    return std::unexpected(
        std::string("an image from a pipe is read once, and needs its published digest "
                    "(--sha256). Nothing was written."));
  }
  auto boot_contents = read_boot_files(options.boot_files);
  if (!boot_contents) return std::unexpected(boot_contents.error());
  prepared.boot_contents = std::move(boot_contents).value();

  std::vector<std::string> paths = {options.target_path};
  paths.insert(paths.end(), options.more_target_paths.begin(),
               options.more_target_paths.end());
  std::vector<std::vector<std::string>> mounted;
  bool needs_root = false;
  for (const std::string& path : paths) {
    auto target = describe_target(path);
    if (!target) return std::unexpected(target.error().message());
    const std::string& device = target->fields.device_path;
    if (std::ranges::any_of(prepared.targets, [&](const TargetDescription& known) {
          return known.fields.device_path == device;
        })) {
      return std::unexpected(device + " is named twice. Nothing was written.");
    }
    mounted.emplace_back();
    if (auto refused = not_offered(*target, mounted.back())) {
      return std::unexpected(*refused + " Nothing was written.");
    }
    const std::string helper = options.helper_path.value_or(
        default_helper_path(client_path, target->regular_file));
    if (::access(helper.c_str(), X_OK) != 0) {
      return std::unexpected("the helper " + helper + " cannot be run: " +
                             os_error_text(errno) + ". Nothing was written.");
    }
    needs_root = needs_root || (!target->regular_file && ::geteuid() != 0);
    prepared.helper_paths.push_back(helper);
    prepared.targets.push_back(std::move(target).value());
  }
  if (!confirmed(options, prepared.targets, mounted, streams)) {
    return std::unexpected(std::string("not confirmed. Nothing was written."));
  }
  if (needs_root) {
    if (auto elevated = elevate_once(); !elevated) {
      return std::unexpected(elevated.error().message());
    }
  }
  return prepared;
}

Result<ImageDigest> measure_shown(const ClientOptions& options, std::uint64_t limit,
                                  const JobStreams& streams, double& elapsed) {
  RAVIK_ASSIGN_OR_RETURN(std::unique_ptr<ImageSource> source,
                         open_image_source(options.image_path));
  ProgressDisplay display(streams.progress_fd(), streams.err_is_terminal);
  const Clock::time_point began = Clock::now();
  Clock::time_point shown;
  auto show = [&](std::uint64_t image_bytes, std::uint64_t file_bytes) {
    const Clock::time_point now = Clock::now();
    if (now - shown < std::chrono::milliseconds(200)) return;
    shown = now;
    const double so_far = std::chrono::duration<double>(now - began).count();
    display.update({.stage = options.sha256 ? "MEASURE" : "HASH",
                    .done = file_bytes,
                    .total = source->file_size(),
                    .bytes_per_second = static_cast<std::uint64_t>(
                        static_cast<double>(file_bytes) / std::max(so_far, 1e-3)),
                    .detail = source->compressed()
                                  ? format_bytes(image_bytes) + " decompressed"
                                  : std::string()});
  };
  auto digest = measure_image(*source, options.sha256, limit, show);
  display.finish();
  elapsed = std::chrono::duration<double>(Clock::now() - began).count();
  return digest;
}

std::optional<std::string> image_unfit(const ImageDigest& digest,
                                       const std::vector<TargetDescription>& targets) {
  if (digest.size_bytes == 0) return "the image is empty. Nothing was written.";
  for (const TargetDescription& target : targets) {
    if (digest.size_bytes > target.fields.size_bytes) {
      return "the image (" + image_size_text(digest) + ") is larger than " +
             target.fields.device_path + " (" + format_bytes(target.fields.size_bytes) +
             "). Nothing was written.";
    }
  }
  return std::nullopt;
}

std::optional<std::string> prepare_image(ClientOptions& options,
                                         const std::vector<TargetDescription>& targets,
                                         const JobStreams& streams,
                                         PreparedImage& image) {
  // A decompressing pass stops once the image outgrows the smallest disk.
  const std::uint64_t room =
      std::ranges::min(targets, {}, [](const TargetDescription& target) {
        return target.fields.size_bytes;
      }).fields.size_bytes;
  auto piped = spool_piped_image(options, room + room / 16);
  if (!piped) return piped.error().message();
  image.spooled = std::move(piped).value();
  if (image.spooled) options.image_path = image.spooled->path;
  auto digest = measure_shown(options, room, streams, image.pass_seconds);
  if (!digest) return digest.error().message();
  image.digest = std::move(digest).value();
  if (auto unfit = image_unfit(image.digest, targets)) return unfit;
  for (const TargetDescription& target : targets) {
    auto prefix = choose_protected_prefix(options, image.digest, target);
    if (!prefix) return prefix.error().message();
    image.protected_prefixes.push_back(*prefix);
  }
  // The stream is a second pass, from the image's start.
  auto source = open_image_source(options.image_path);
  if (!source) return source.error().message();
  image.source = std::move(source).value();
  return std::nullopt;
}

}  // namespace ravik::client
