#include "job/job_preparation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "error/byte_size.h"
#include "io/eintr.h"
#include "io/write_all.h"
#include "job/digest_cache.h"
#include "job/disk_listing.h"
#include "job/elevation.h"
#include "job/event_pump.h"
#include "job/image_source.h"
#include "job/installed_helper.h"
#include "job/plain_text.h"
#include "job/protected_prefix.h"
#include "protocol/base64.h"

namespace ravik::job {
namespace {

using Clock = std::chrono::steady_clock;

// A disk the helper would refuse (the system's disk, a fixed one) is refused
// now, with the reason `list --all` gives. Loop devices pass for the testing
// helper, which takes them; the production helper (the default) would
// refuse one only once the prompt and the pass over the image were over.
std::optional<std::string> not_offered(const TargetDescription& target,
                                       bool production_helper,
                                       std::vector<std::string>& mounted) {
  if (target.regular_file) return std::nullopt;
  auto disk = list_disk(target.fields.device_id, LinuxSystemPaths{},
                        {.treat_loop_devices_as_removable = true});
  if (!disk) return disk.error().message();
  mounted = disk->mounted;
  const std::string& device = target.fields.device_path;
  if (disk->offered && disk->transport == "loop" && production_helper) {
    return device + " is a loop device, which only the testing helper takes (--helper).";
  }
  if (disk->offered) return std::nullopt;
  return device + " is not a disk a write accepts: " + disk->reason;
}

// A udev link name as the label it stands for ("\x20" is a blank).
std::string udev_unescaped(std::string_view name) {
  std::string text;
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned value = 0;
    if (name.substr(i, 2) == "\\x" && i + 4 <= name.size() &&
        std::sscanf(std::string(name.substr(i + 2, 2)).c_str(), "%2x", &value) == 1) {
      text.push_back(static_cast<char>(value));
      i += 3;
    } else {
      text.push_back(name[i]);
    }
  }
  return text;
}

// "    partition /dev/sdb1  14.9 GiB  label "UBUNTU"" for each partition the
// kernel knows on disk `name`, labels as udev published them.
std::string partition_lines(const std::string& name) {
  std::map<std::string, std::string> labels;  // partition name -> label
  std::error_code error;
  for (const auto& link :
       std::filesystem::directory_iterator("/dev/disk/by-label", error)) {
    const std::filesystem::path target = std::filesystem::read_symlink(link, error);
    if (!error)
      labels[target.filename()] = udev_unescaped(link.path().filename().string());
  }
  std::vector<std::string> partitions;
  for (const auto& entry :
       std::filesystem::directory_iterator("/sys/class/block/" + name, error)) {
    if (std::filesystem::exists(entry.path() / "partition", error)) {
      partitions.push_back(entry.path().filename());
    }
  }
  std::ranges::sort(partitions);
  std::string text;
  for (const std::string& partition : partitions) {
    std::ifstream size_file("/sys/class/block/" + partition + "/size");
    std::uint64_t sectors = 0;
    size_file >> sectors;
    text += "    partition /dev/" + partition + "  " + format_bytes(sectors * 512);
    if (auto label = labels.find(partition); label != labels.end()) {
      text += "  label \"" + label->second + "\"";
    }
    text += "\n";
  }
  return text;
}

// The image's length when it is known without a pass: a raw file's, a
// compressed file's recorded one, or the one remembered from a pass.
std::optional<std::uint64_t> known_image_size(const JobOptions& options) {
  if (image_is_piped(options.image_path)) return std::nullopt;
  auto source = open_image_source(options.image_path);
  if (!source) return std::nullopt;
  if (auto recorded = (*source)->recorded_size(); recorded && *recorded)
    return **recorded;
  struct stat info = {};
  if (::stat(options.image_path.c_str(), &info) != 0) return std::nullopt;
  auto remembered = DigestCache().find(FileIdentity::of(info));
  if (!remembered) return std::nullopt;
  return remembered->image_size;
}

// "    about 0:42 to write, at the 25.0 MiB/s it wrote at last time", when
// the disk's rate and the image's length are known.
std::string estimate_line(const JobOptions& options, const TargetDescription& target,
                          std::optional<std::optional<std::uint64_t>>& image_size) {
  const std::optional<std::uint64_t> rate =
      DigestCache().write_rate(disk_rate_name(target));
  if (!rate) return {};
  if (!image_size) image_size = known_image_size(options);
  if (!*image_size) return {};
  return "    about " + format_time_left(**image_size, *rate) + " to write, at the " +
         format_bytes(*rate) + "/s it wrote at last time\n";
}

// Names each disk with its partitions and what will be unmounted, warns of
// a disk larger than a stick usually is, estimates the time from the disk's
// last rate, and asks the front end. The reason to stop, or nothing.
std::optional<std::string> refused_confirmation(
    const JobOptions& options, const std::vector<TargetDescription>& targets,
    const std::vector<std::vector<std::string>>& mounted, JobObserver& observer) {
  constexpr std::uint64_t kStickSizeBound = 64ull << 30;
  std::optional<std::optional<std::uint64_t>> image_size;  // looked up once
  std::string text;
  std::string unmounted;
  std::vector<std::string> disks;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const TargetDescription& target = targets[i];
    if (target.regular_file) continue;
    const std::string& device = target.fields.device_path;
    disks.push_back(device);
    text += "  " + device + "  " + target.fields.model.value_or("") + "  " +
            format_bytes(target.fields.size_bytes) + "\n" +
            partition_lines(target.fields.device_id);
    if (options.command == ClientCommand::kWrite) {
      text += estimate_line(options, target, image_size);
    }
    if (target.fields.size_bytes > kStickSizeBound) {
      text += "    WARNING: " + device + " holds " +
              format_bytes(target.fields.size_bytes) +
              ", more than 64 GiB: more likely a backup or system drive than a stick.\n";
    }
    for (const std::string& point : mounted[i]) {
      const std::string line =
          "its file system mounted on " + point + " will be unmounted";
      text += "    " + line + "\n";
      unmounted += "ravik-device-client: " + device + ": " + line + "\n";
    }
  }
  if (disks.empty()) return std::nullopt;
  std::string named = disks.front();
  for (std::size_t i = 1; i < disks.size(); ++i) {
    named += (i + 1 == disks.size() ? " and " : ", ") + disks[i];
  }
  const std::string what =
      options.command == ClientCommand::kRecover ? "formatted" : "overwritten";
  return observer.confirm_overwrite({.disks = named,
                                     .disk_count = disks.size(),
                                     .what = what,
                                     .details = text,
                                     .unmounted = unmounted,
                                     .assume_yes = options.assume_yes,
                                     .image_piped = options.image_path == "-"});
}

// True when `head` reads as text (printable ASCII, blanks and UTF-8),
// as a checksum file or a web page saved in the image's place does; every
// disk image holds other bytes in its first sectors, if only zeros.
bool reads_as_text(std::span<const std::uint8_t> head) {
  return !head.empty() && std::ranges::all_of(head, [](std::uint8_t byte) {
    return byte >= 0x20 || byte == '\n' || byte == '\r' || byte == '\t';
  });
}

// What the image's first bytes settle before any pass over it: text is no
// disk image, and boot files need the image's partition 1.
std::optional<std::string> refused_by_head(const JobOptions& options,
                                           const std::string& shown_name) {
  auto head = read_image_head(options.image_path, 1024 * 1024);
  if (!head) return head.error().message();
  if (reads_as_text(*head)) {
    return shown_name + " is not a disk image: it reads as text. Nothing was written.";
  }
  if ((!options.boot_files.empty() || options.read_boot_file) &&
      first_partition_offset(*head) == 0) {
    return std::string(options.read_boot_file ? "--read-boot-file" : "--boot-file") +
           " needs a boot partition, and " + shown_name +
           " holds no partition table. Nothing was written.";
  }
  return std::nullopt;
}

}  // namespace

std::string disk_rate_name(const TargetDescription& target) {
  if (target.fields.serial && !target.fields.serial->empty()) {
    return "serial:" + *target.fields.serial;
  }
  return "model:" + target.fields.model.value_or("") + ":" +
         std::to_string(target.fields.size_bytes);
}

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

Result<std::uint64_t> choose_protected_prefix(const JobOptions& options,
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

Result<std::optional<SpooledImage>> spool_piped_image(const JobOptions& options,
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
    const JobOptions& options, const std::string& client_path, JobObserver& observer) {
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
  // Every target's problem, so that one run names all there are.
  std::vector<std::string> problems;
  bool described = true;  // every target could be found
  for (const std::string& path : paths) {
    auto target = describe_target(path);
    if (!target) {
      problems.push_back(target.error().message());
      described = false;
      continue;
    }
    const std::string& device = target->fields.device_path;
    if (std::ranges::any_of(prepared.targets, [&](const TargetDescription& known) {
          return known.fields.device_path == device;
        })) {
      problems.push_back(device + " is named twice.");
      continue;
    }
    const std::string helper = options.helper_path.value_or(
        default_helper_path(client_path, target->regular_file));
    mounted.emplace_back();
    // A helper that cannot run is the first thing to mend: what it would
    // refuse depends on which helper it is.
    if (::access(helper.c_str(), X_OK) != 0) {
      problems.push_back("the helper " + helper +
                         " cannot be run: " + os_error_text(errno) + ".");
    } else if (auto refused =
                   not_offered(*target, !options.helper_path, mounted.back())) {
      problems.push_back(*refused);
    }
    needs_root = needs_root || (!target->regular_file && ::geteuid() != 0);
    prepared.helper_paths.push_back(helper);
    prepared.targets.push_back(std::move(target).value());
  }
  if (problems.size() == 1) {
    // A target that cannot be found is not one anything could reach.
    return std::unexpected(problems.front() + (described ? " Nothing was written." : ""));
  }
  if (!problems.empty()) {
    std::string text = std::to_string(problems.size()) + " targets cannot be written:";
    for (const std::string& problem : problems) text += "\n  " + problem;
    return std::unexpected(text + "\nNothing was written.");
  }
  if (auto refused = refused_confirmation(options, prepared.targets, mounted, observer)) {
    return std::unexpected(std::move(*refused));
  }
  if (needs_root) {
    if (auto elevated = elevate_once(options.elevation); !elevated) {
      return std::unexpected(elevated.error().message());
    }
  }
  return prepared;
}

Result<ImageDigest> measure_shown(const JobOptions& options, std::uint64_t limit,
                                  JobObserver& observer, double& elapsed) {
  RAVIK_ASSIGN_OR_RETURN(std::unique_ptr<ImageSource> source,
                         open_image_source(options.image_path));
  const std::unique_ptr<ProgressSink> display_owner = observer.new_progress();
  ProgressSink& display = *display_owner;
  const Clock::time_point began = Clock::now();
  Clock::time_point shown;
  const std::uint64_t file_size = source->file_size();
  auto show = [&](std::string_view stage, std::uint64_t image_bytes,
                  std::uint64_t file_bytes, bool last) {
    const Clock::time_point now = Clock::now();
    if (!last && now - shown < std::chrono::milliseconds(200)) return;
    shown = now;
    const double so_far = std::chrono::duration<double>(now - began).count();
    // 100% only with the final figures: a decoder still holds bytes when the
    // whole file has been read.
    const std::uint64_t done =
        last              ? file_size
        : stage == "HASH" ? std::min(file_bytes, file_size == 0 ? 0 : file_size - 1)
                          : file_bytes;
    display.update({.stage = stage,
                    .done = done,
                    .total = file_size,
                    .bytes_per_second = static_cast<std::uint64_t>(
                        static_cast<double>(file_bytes) / std::max(so_far, 1e-3)),
                    .detail = source->compressed() && stage == "HASH"
                                  ? format_bytes(image_bytes) + " decompressed"
                                  : std::string()});
  };
  // A file hashed before is known by its identity; a kept pipe (an unlinked
  // file) is never seen again.
  // A published digest of a compressed image is most often the download's:
  // the file itself is compared first (it is cheap), and the one pass then
  // gives the decompressed image's digest, which the helper needs. A raw
  // image's published digest is taken as given, with no pass at all.
  const std::optional<std::string>& given = options.sha256;
  const bool checks_download = given && source->compressed();
  const DigestCache cache;
  std::optional<FileIdentity> identity;
  if (struct stat info = {}; (!given || checks_download) &&
                             ::stat(options.image_path.c_str(), &info) == 0 &&
                             info.st_nlink > 0) {
    identity = FileIdentity::of(info);
  }
  const std::optional<RememberedDigest> remembered =
      identity ? cache.find(*identity) : std::nullopt;
  std::string file_sha256 = remembered ? remembered->file_sha256 : std::string();
  const bool file_hashed_now = checks_download && file_sha256.empty();
  if (file_hashed_now) {
    RAVIK_ASSIGN_OR_RETURN(const ImageDigest file,
                           digest_file_prefix(options.image_path, std::nullopt, "image",
                                              [&](std::uint64_t done, std::uint64_t) {
                                                show("CHECK", done, done, false);
                                              }));
    file_sha256 = file.sha256;
  }
  if (checks_download && file_sha256 == *given) {
    display.finish();
    if (!options.quiet)
      observer.notice(NoticeKind::kDiagnostic, "download checksum matches");
  }
  ImageDigest digest;
  if (remembered) {
    digest = {.size_bytes = remembered->image_size,
              .sha256 = remembered->image_sha256,
              .origin = DigestOrigin::kRemembered};
  } else {
    RAVIK_ASSIGN_OR_RETURN(
        digest, measure_image(*source, checks_download ? std::nullopt : given, limit,
                              [&](std::uint64_t image_bytes, std::uint64_t file_bytes) {
                                show("HASH", image_bytes, file_bytes, false);
                              }));
    if (digest.origin == DigestOrigin::kHashed && !digest.stopped_at_limit &&
        !digest.sha256.empty() && digest.size_bytes > 0) {
      show("HASH", digest.size_bytes, file_size, true);
    }
  }
  display.finish();
  elapsed = std::chrono::duration<double>(Clock::now() - began).count();
  const bool hashed_now = digest.origin == DigestOrigin::kHashed &&
                          !digest.stopped_at_limit && !digest.sha256.empty();
  if (identity && (hashed_now || (remembered && file_hashed_now))) {
    cache.remember(*identity, {.image_size = digest.size_bytes,
                               .image_sha256 = digest.sha256,
                               .file_sha256 = file_sha256});
  }
  if (!given || digest.origin == DigestOrigin::kPublished || digest.stopped_at_limit) {
    return digest;
  }
  if (checks_download && file_sha256 == *given) {
    digest.origin = DigestOrigin::kDownloadChecked;
  } else if (digest.sha256 == *given) {
    if (!remembered) digest.origin = DigestOrigin::kPublishedConfirmed;
  } else {
    return fail(codes::kImageMissing,
                "The image is not the one the given digest describes: --sha256 " +
                    *given + " is neither the digest of the " +
                    std::string(image_format_name(source->format())) + " file (" +
                    file_sha256 + ") nor that of the image decompressed from it (" +
                    digest.sha256 + ").");
  }
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

void tell_image(JobObserver& observer, const std::string& name,
                const PreparedImage& image) {
  observer.image_measured(
      {.name = name,
       .format =
           image.source ? std::string(image_format_name(image.source->format())) : "",
       .digest = image.digest});
}

std::optional<std::string> prepare_image(JobOptions& options,
                                         const std::vector<TargetDescription>& targets,
                                         JobObserver& observer, PreparedImage& image) {
  // A decompressing pass stops once the image outgrows the smallest disk.
  const std::uint64_t room =
      std::ranges::min(targets, {}, [](const TargetDescription& target) {
        return target.fields.size_bytes;
      }).fields.size_bytes;
  const std::string shown_name = options.image_path;
  auto piped = spool_piped_image(options, room + room / 16);
  if (!piped) return piped.error().message();
  image.spooled = std::move(piped).value();
  if (image.spooled) options.image_path = image.spooled->path;
  if (auto refused = refused_by_head(options, shown_name)) return refused;
  auto digest = measure_shown(options, room, observer, image.pass_seconds);
  if (!digest) {
    // A sentence of its own is told that the disk is untouched.
    std::string text = digest.error().message();
    if (text.ends_with('.')) text += " Nothing was written.";
    return text;
  }
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

}  // namespace ravik::job
