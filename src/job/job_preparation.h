// What a write or a recovery settles before any long work, so that a wrong
// argument, a wrong disk, a missing helper or a refused sudo is known at
// once and not after a pass over a large image: every target described from
// sysfs (never opened), the helper found, the user asked on a terminal, and
// root rights obtained once for every session to come. Then a write's image:
// kept when piped, measured, fitted to every disk and opened for the stream.
//
// Thread-compatible; reads the file system, may ask on the terminal.
#ifndef RAVIK_JOB_JOB_PREPARATION_H_
#define RAVIK_JOB_JOB_PREPARATION_H_

#include <chrono>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/unique_fd.h"
#include "job/image_digest.h"
#include "job/image_source.h"
#include "job/job_options.h"
#include "job/target_description.h"
#include "job/write_job.h"

namespace ravik::job {

// The helper run when --helper is not given: the production helper of the
// installation `client_path` belongs to for block devices, the testing helper
// beside `client_path` (build trees only) for regular files.
std::string default_helper_path(const std::string& client_path, bool regular_file_target);

// Every --boot-file's content in Base64, in order; or why one cannot be
// sent (unreadable, or above the helper's 1 MiB bound).
std::expected<std::vector<std::string>, std::string> read_boot_files(
    const std::vector<BootFile>& files);

// The prefix the helper holds back on `target`: --protected-prefix when
// given, else the image's partition-table area (default_protected_prefix).
// Refused when it is longer than the image or not whole blocks of the target.
Result<std::uint64_t> choose_protected_prefix(const JobOptions& options,
                                              const ImageDigest& digest,
                                              const TargetDescription& target);

// A name of the medium in `target` that outlives its device node, for the
// rate it writes at: its serial, else its model and size.
std::string disk_rate_name(const TargetDescription& target);

struct PreparedTargets {
  std::vector<TargetDescription> targets;  // TARGET, then the further ones
  std::vector<std::string> helper_paths;   // one per target
  std::vector<std::string> boot_contents;  // Base64, in --boot-file order
};

// Reads the boot files; describes every target, refusing one named twice, a
// partition and a disk the helper would not take; checks each helper can be
// run; asks before overwriting disks on a terminal (unless --yes); obtains
// root rights when a helper needs them. Or the reason to stop, which already
// says that nothing was written.
std::expected<PreparedTargets, std::string> prepare_targets(
    const JobOptions& options, const std::string& client_path, JobObserver& observer);

// "-" (standard input) or a named pipe.
bool image_is_piped(const std::string& path);

// A piped image kept whole in an unlinked temporary file: the helper needs
// the exact length before the first byte, and a pipe cannot be read twice.
struct SpooledImage {
  UniqueFd file;
  std::string path;  // opens the file anew for as long as `file` lives
};

// Nothing when the image is not piped; otherwise its bytes, refused once
// they pass `limit` (a compressed image larger than the disk will not fit).
Result<std::optional<SpooledImage>> spool_piped_image(const JobOptions& options,
                                                      std::uint64_t limit);

// The image's size and digest: the published one (--sha256) when given,
// which spares the hashing pass (the helper checks the stream against it
// before the write is committed), else the one computed now; a pass stops
// once more than `limit` bytes came out (see measure_image). The pass is
// shown on `observer`; `elapsed` receives its wall-clock time.
Result<ImageDigest> measure_shown(const JobOptions& options, std::uint64_t limit,
                                  JobObserver& observer, double& elapsed);

// Why the image cannot go to every target (empty, or larger than one).
std::optional<std::string> image_unfit(const ImageDigest& digest,
                                       const std::vector<TargetDescription>& targets);

// A write's image, settled before any helper starts.
struct PreparedImage {
  std::optional<SpooledImage> spooled;  // a piped image, kept whole
  ImageDigest digest;
  double pass_seconds = 0;                        // the measuring pass's wall-clock time
  std::vector<std::uint64_t> protected_prefixes;  // one per target
  std::unique_ptr<ImageSource> source;            // the stream, from the start
};

// Tells `observer` the image `image` measured, named `name`.
void tell_image(JobObserver& observer, const std::string& name,
                const PreparedImage& image);

// Keeps a piped image (pointing `options.image_path` at the kept copy),
// measures it against the smallest target, refuses it unless it fits every
// one, chooses each target's protected prefix and opens the image for the
// stream, in that order. Returns the reason to stop, or nothing; `image`
// keeps what was found before a refusal (the digest, once measured).
std::optional<std::string> prepare_image(JobOptions& options,
                                         const std::vector<TargetDescription>& targets,
                                         JobObserver& observer, PreparedImage& image);

}  // namespace ravik::job

#endif  // RAVIK_JOB_JOB_PREPARATION_H_
