// ImageSource: the bytes of a disk image as the helper must receive them.
// A raw image is read as it is; a gzip, xz, zstd or bzip2 file, or a zip
// archive holding exactly one file, is decompressed on the fly. The format
// is recognised by the file's first bytes, never by its name, so a raw image
// that happens to be called "x.gz" stays raw.
//
// A source is read once, front to back; a second pass opens a second source.
// Not thread-safe, except file_bytes_read(), which a progress display may
// poll from another thread while the owner reads.
#ifndef RAVIK_JOB_IMAGE_SOURCE_H_
#define RAVIK_JOB_IMAGE_SOURCE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "job/image_reader.h"

namespace ravik::job {

enum class ImageFormat { kRaw, kGzip, kXz, kZstd, kBzip2, kZip };

// "raw", "gzip", "xz", "zstd", "bzip2", "zip".
std::string_view image_format_name(ImageFormat format);

// The format the first bytes of a file announce; raw when none matches.
ImageFormat detect_image_format(std::span<const std::uint8_t> head);

class ImageSource : public ImageReader {
 public:
  ImageSource(const ImageSource&) = delete;
  ImageSource& operator=(const ImageSource&) = delete;

  ImageFormat format() const { return format_; }
  bool compressed() const { return format_ != ImageFormat::kRaw; }
  // The length of the file itself (compressed, for a compressed image).
  std::uint64_t file_size() const { return file_size_; }
  // How much of the file has been consumed so far.
  std::uint64_t file_bytes_read() const { return file_bytes_read_.load(); }
  // The image's length when the file tells it without being decompressed,
  // in a record the decoder itself holds the decoded bytes to: a raw image's
  // file length, an xz file's index, the content sizes of every zstd frame.
  // Nothing for the rest (gzip keeps only the length modulo 2^32, bzip2
  // none, a zip directory entry is not checked against the data), whose
  // length is what decompressing them produces. Reads only the records; a
  // damaged record is an error. The stream is still held to the size: a
  // source that gives more or fewer bytes fails the write.
  virtual Result<std::optional<std::uint64_t>> recorded_size() { return std::nullopt; }

  // Fills `buffer` with the next bytes of the image; fewer only at its end,
  // 0 once it has ended. A corrupt or truncated compressed file is an error
  // (IMAGE_MISSING) that names the format and what went wrong, at the latest
  // by the read that would otherwise report the end.
  Result<std::size_t> read(std::span<std::uint8_t> buffer) override = 0;

 protected:
  ImageSource(ImageFormat format, std::uint64_t file_size)
      : format_(format), file_size_(file_size) {}
  void note_file_bytes_read(std::uint64_t bytes) { file_bytes_read_.store(bytes); }

 private:
  ImageFormat format_;
  std::uint64_t file_size_;
  std::atomic<std::uint64_t> file_bytes_read_{0};
};

// Opens the image at `path`, which must be a regular file. A zip archive is
// checked up front: it must hold exactly one entry, a regular file, not
// encrypted.
Result<std::unique_ptr<ImageSource>> open_image_source(const std::string& path);

}  // namespace ravik::job

#endif  // RAVIK_JOB_IMAGE_SOURCE_H_
