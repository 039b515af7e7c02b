#include "client/image_digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <span>
#include <vector>

#include "client/progress_display.h"
#include "io/unique_fd.h"

namespace ravik::client {
namespace {

constexpr std::size_t kReadSize = 4 * 1024 * 1024;

struct ContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::string to_hex(const unsigned char* bytes, unsigned length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned i = 0; i < length; ++i) {
    hex.push_back(kDigits[bytes[i] >> 4]);
    hex.push_back(kDigits[bytes[i] & 0xf]);
  }
  return hex;
}

// One SHA-256 computation.
class Sha256 {
 public:
  Result<void> start() {
    context_.reset(EVP_MD_CTX_new());
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
      return fail(codes::kUnknown, "Could not start a SHA-256 digest.");
    }
    return {};
  }
  void update(std::span<const std::uint8_t> bytes) {
    EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size());
  }
  Result<std::string> finish() {
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_DigestFinal_ex(context_.get(), raw, &length) != 1) {
      return fail(codes::kUnknown, "Could not finish the SHA-256 digest.");
    }
    return to_hex(raw, length);
  }

 private:
  std::unique_ptr<EVP_MD_CTX, ContextDeleter> context_;
};

}  // namespace

Result<ImageDigest> measure_image(ImageSource& source,
                                  const std::optional<std::string>& published_sha256,
                                  std::uint64_t limit,
                                  const ImagePassProgress& progress) {
  RAVIK_ASSIGN_OR_RETURN(const std::optional<std::uint64_t> recorded,
                         source.recorded_size());
  if (recorded && (published_sha256 || *recorded > limit)) {
    return ImageDigest{*recorded, published_sha256.value_or("")};
  }
  Sha256 hash;
  if (!published_sha256) RAVIK_RETURN_IF_ERROR(hash.start());
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
  if (published_sha256) {
    digest.sha256 = *published_sha256;
  } else {
    RAVIK_ASSIGN_OR_RETURN(digest.sha256, hash.finish());
  }
  return digest;
}

std::string image_size_text(const ImageDigest& digest) {
  if (!digest.stopped_at_limit) return format_bytes(digest.size_bytes);
  return "more than " + format_bytes(digest.size_bytes - 1) + " once decompressed";
}

Result<ImageDigest> digest_image(const std::string& path) {
  RAVIK_ASSIGN_OR_RETURN(std::unique_ptr<ImageSource> source, open_image_source(path));
  return measure_image(*source, std::nullopt, UINT64_MAX);
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
  RAVIK_RETURN_IF_ERROR(hash.start());
  std::vector<std::uint8_t> buffer(kReadSize);
  ImageDigest digest;
  while (!limit || digest.size_bytes < *limit) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(
        buffer.size(), limit ? *limit - digest.size_bytes : buffer.size()));
    const ssize_t count = ::read(fd.get(), buffer.data(), want);
    if (count < 0) {
      if (errno == EINTR) continue;
      return fail(
          HelperError::io(codes::kImageMissing, "Could not read the " + name, errno));
    }
    if (count == 0) break;
    hash.update({buffer.data(), static_cast<std::size_t>(count)});
    digest.size_bytes += static_cast<std::uint64_t>(count);
    if (progress) progress(digest.size_bytes, digest.size_bytes);
  }
  RAVIK_ASSIGN_OR_RETURN(digest.sha256, hash.finish());
  return digest;
}

}  // namespace ravik::client
