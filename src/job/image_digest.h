// The image's SHA-256 and size, computed before the helper is started so
// that the open request can announce both. A compressed image's figures are
// those of its decompressed bytes, which only decompressing them gives.
//
// Thread-compatible; no shared state.
#ifndef RAVIK_JOB_IMAGE_DIGEST_H_
#define RAVIK_JOB_IMAGE_DIGEST_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "job/image_source.h"

namespace ravik::job {

// Where an image's digest comes from, which the summary tells.
enum class DigestOrigin {
  kHashed,     // a pass over the image
  kPublished,  // --sha256, taken as given: the helper checks the stream
  // --sha256 was the decompressed image's, which the pass confirmed
  kPublishedConfirmed,
  // --sha256 was the compressed file's ("download checksum matches"); the
  // pass hashed what it decompresses to
  kDownloadChecked,
  kRemembered,  // from an earlier pass over the same file
};

struct ImageDigest {
  std::uint64_t size_bytes = 0;
  std::string sha256;  // 64 lower-case hexadecimal characters
  DigestOrigin origin = DigestOrigin::kHashed;
  // The pass stopped at its limit: size_bytes is only a lower bound.
  bool stopped_at_limit = false;
};

// "9.0 MiB", or "more than 16.0 MiB once decompressed" for a pass that
// stopped at its limit.
std::string image_size_text(const ImageDigest& digest);

// Told now and then during a pass over an image: the image bytes produced
// so far and the file bytes consumed for them.
using ImagePassProgress =
    std::function<void(std::uint64_t image_bytes, std::uint64_t file_bytes)>;

// The image's size and digest for the open request, from a fresh `source`
// (read to its end, or to `limit`). With `published_sha256`
// the digest is taken as given (the helper checks the stream against it) and
// only the size is established: the source's recorded size where it has one
// (raw, xz, zstd: no pass at all), else by decompressing it once without
// hashing. Without it, one pass both measures and hashes. A pass stops once more than
// `limit` bytes came out: the result's size_bytes is then above `limit` (a lower bound)
// and its digest empty. Fails when the image cannot be opened or read or is damaged.
Result<ImageDigest> measure_image(ImageSource& source,
                                  const std::optional<std::string>& published_sha256,
                                  std::uint64_t limit,
                                  const ImagePassProgress& progress = {});

// SHA-256 of the first `limit` bytes of `path` (all of it when absent; fewer
// when it is shorter, which `size_bytes` shows). `what` names it in errors.
// `progress`, when given, hears of the bytes read so far.
Result<ImageDigest> digest_file_prefix(const std::string& path,
                                       std::optional<std::uint64_t> limit,
                                       std::string_view what,
                                       const ImagePassProgress& progress = {});

}  // namespace ravik::job

#endif  // RAVIK_JOB_IMAGE_DIGEST_H_
