// The image's SHA-256 and size, computed before the helper is started so
// that the open request can announce both.
//
// Thread-compatible; no shared state.
#ifndef RAVIK_CLIENT_IMAGE_DIGEST_H_
#define RAVIK_CLIENT_IMAGE_DIGEST_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/helper_error.h"

namespace ravik::client {

struct ImageDigest {
  std::uint64_t size_bytes = 0;
  std::string sha256;  // 64 lower-case hexadecimal characters
};

// Reads the whole file once. Fails when it cannot be opened or read, or is
// not a regular file.
Result<ImageDigest> digest_image(const std::string& path);

// The length of the image, which must be a regular file; reads nothing.
Result<std::uint64_t> image_size(const std::string& path);

// SHA-256 of the first `limit` bytes of `path` (all of it when absent; fewer
// when it is shorter, which `size_bytes` shows). `what` names it in errors.
Result<ImageDigest> digest_file_prefix(const std::string& path,
                                       std::optional<std::uint64_t> limit,
                                       std::string_view what);

}  // namespace ravik::client

#endif  // RAVIK_CLIENT_IMAGE_DIGEST_H_
