#include "client/image_digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

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

}  // namespace

Result<ImageDigest> digest_image(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd)
    return fail(HelperError::io(codes::kImageMissing, "Could not open the image", errno));
  struct stat info = {};
  if (::fstat(fd.get(), &info) != 0) {
    return fail(
        HelperError::io(codes::kImageMissing, "Could not inspect the image", errno));
  }
  if (!S_ISREG(info.st_mode)) {
    return fail(codes::kImageMissing, "The image must be a regular file.");
  }
  std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return fail(codes::kUnknown, "Could not start a SHA-256 digest.");
  }
  std::vector<unsigned char> buffer(kReadSize);
  ImageDigest digest;
  while (true) {
    const ssize_t count = ::read(fd.get(), buffer.data(), buffer.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return fail(
          HelperError::io(codes::kImageMissing, "Could not read the image", errno));
    }
    if (count == 0) break;
    EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(count));
    digest.size_bytes += static_cast<std::uint64_t>(count);
  }
  unsigned char raw[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (EVP_DigestFinal_ex(context.get(), raw, &length) != 1) {
    return fail(codes::kUnknown, "Could not finish the SHA-256 digest.");
  }
  digest.sha256 = to_hex(raw, length);
  return digest;
}

}  // namespace ravik::client
