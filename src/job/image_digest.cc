#include "job/image_digest.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <span>
#include <vector>

#include "error/byte_size.h"
#include "io/eintr.h"
#include "io/sha256.h"
#include "io/unique_fd.h"
#include "job/job_events.h"

namespace ravik::job {
namespace {

constexpr std::size_t kReadSize = 4 * 1024 * 1024;

}  // namespace

Result<ImageDigest> measure_image(ImageSource& source,
                                  const std::optional<std::string>& published_sha256,
                                  std::uint64_t limit,
                                  const ImagePassProgress& progress) {
  RAVIK_ASSIGN_OR_RETURN(const std::optional<std::uint64_t> recorded,
                         source.recorded_size());
  if (recorded && (published_sha256 || *recorded > limit)) {
    return ImageDigest{
        .size_bytes = *recorded,
        .sha256 = published_sha256.value_or(""),
        .origin = published_sha256 ? DigestOrigin::kPublished : DigestOrigin::kHashed};
  }
  Sha256 hash;
  std::vector<std::uint8_t> buffer(kReadSize);
  ImageDigest digest;
  for (;;) {
    RAVIK_ASSIGN_OR_RETURN(const std::size_t count, source.read(buffer));
    if (count == 0) break;
    digest.size_bytes += count;
    if (digest.size_bytes > limit) {
      digest.size_bytes = limit + 1;
      digest.stopped_at_limit = true;
      return digest;
    }
    if (!published_sha256) hash.update({buffer.data(), count});
    if (progress) progress(digest.size_bytes, source.file_bytes_read());
  }
  digest.sha256 = published_sha256 ? *published_sha256 : hash.finish_hex();
  if (published_sha256) digest.origin = DigestOrigin::kPublished;
  return digest;
}

std::string image_size_text(const ImageDigest& digest) {
  if (!digest.stopped_at_limit) return format_bytes(digest.size_bytes);
  return "more than " + format_bytes(digest.size_bytes - 1) + " once decompressed";
}

Result<ImageDigest> digest_file_prefix(const std::string& path,
                                       std::optional<std::uint64_t> limit,
                                       std::string_view what,
                                       const ImagePassProgress& progress) {
  const std::string name(what);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd)
    return fail(
        HelperError::io(codes::kImageMissing, "Could not open the " + name, errno));
  Sha256 hash;
  std::vector<std::uint8_t> buffer(kReadSize);
  ImageDigest digest;
  while (!limit || digest.size_bytes < *limit) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(
        buffer.size(), limit ? *limit - digest.size_bytes : buffer.size()));
    const ssize_t count =
        retry_on_eintr([&] { return ::read(fd.get(), buffer.data(), want); });
    if (count < 0) {
      return fail(
          HelperError::io(codes::kImageMissing, "Could not read the " + name, errno));
    }
    if (count == 0) break;
    hash.update({buffer.data(), static_cast<std::size_t>(count)});
    digest.size_bytes += static_cast<std::uint64_t>(count);
    if (progress) progress(digest.size_bytes, digest.size_bytes);
  }
  digest.sha256 = hash.finish_hex();
  return digest;
}

}  // namespace ravik::job
