// Published checksum files: the digest one of them gives an image. Lines are
// sha256sum's ("DIGEST  NAME", "DIGEST *NAME", "\DIGEST  ESCAPED") or the
// BSD tag form ("SHA256 (NAME) = DIGEST"), also inside a clear-signed file
// (whose signature is not checked here). A line names a file as
// `sha256sum -c` run in the checksum file's folder would find it, so
// "sub/disk.img" is not "disk.img".
//
// Pure functions but for the file-system look-ups that resolve names;
// thread-safe.
#ifndef RAVIK_JOB_CHECKSUM_FILE_H_
#define RAVIK_JOB_CHECKSUM_FILE_H_

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace ravik::job {

// `text` as a digest (64 lower-case hexadecimal digits), either case
// accepted; nothing when it is not one.
std::optional<std::string> normalized_sha256(std::string_view text);

// The digest (64 lower-case hexadecimal digits) that `checksums`, the text
// of a checksum file in folder `checksum_folder`, gives `image_path`; for
// "-", the only digest it holds. Otherwise why none can be taken: no line
// names the image, or two lines give it different digests.
std::expected<std::string, std::string> digest_for_image(
    std::string_view checksums, const std::string& checksum_folder,
    const std::string& image_path);

}  // namespace ravik::job

#endif  // RAVIK_JOB_CHECKSUM_FILE_H_
