// What a write or a recovery settles before any long work, so that a wrong
// argument, a wrong disk, a missing helper or a refused sudo is known at
// once and not after a pass over a large image: every target described from
// sysfs (never opened), the helper found, the user asked on a terminal, and
// root rights obtained once for every session to come.
//
// Thread-compatible; reads the file system, may ask on the terminal.
#ifndef RAVIK_CLIENT_JOB_PREPARATION_H_
#define RAVIK_CLIENT_JOB_PREPARATION_H_

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "client/client_options.h"
#include "client/image_digest.h"
#include "client/target_description.h"
#include "client/write_job.h"
#include "io/unique_fd.h"

namespace ravik::client {

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
    const ClientOptions& options, const std::string& client_path,
    const JobStreams& streams);

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
Result<std::optional<SpooledImage>> spool_piped_image(const ClientOptions& options,
                                                      std::uint64_t limit);

// The image's size and digest: the published one (--sha256) when given,
// which spares the hashing pass (the helper checks the stream against it
// before the write is committed), else the one computed now; a pass stops
// once more than `limit` bytes came out (see measure_image). The pass is
// shown on `streams`; `elapsed` receives its wall-clock time.
Result<ImageDigest> measure_shown(const ClientOptions& options, std::uint64_t limit,
                                  const JobStreams& streams, double& elapsed);

// Why the image cannot go to every target (empty, or larger than one).
std::optional<std::string> image_unfit(const ImageDigest& digest,
                                       const std::vector<TargetDescription>& targets);

}  // namespace ravik::client

#endif  // RAVIK_CLIENT_JOB_PREPARATION_H_
