#include "job/image_source.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <lzma.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "io/eintr.h"
#include "io/unique_fd.h"

namespace ravik::job {
namespace {

// libarchive's read size: large enough that the per-call overhead vanishes
// next to the decompression itself.
constexpr std::size_t kArchiveBlockBytes = 1024 * 1024;
// Real xz files index a few records per block; a hostile one could ask for
// far more memory than its size suggests.
constexpr std::uint64_t kXzIndexMemoryLimit = 64 * 1024 * 1024;

bool starts_with(std::span<const std::uint8_t> head,
                 std::initializer_list<std::uint8_t> magic) {
  return head.size() >= magic.size() &&
         std::equal(magic.begin(), magic.end(), head.begin());
}

std::string format_text(ImageFormat format) {
  return std::string(image_format_name(format));
}

// Reads a regular file as it is.
class RawImageSource final : public ImageSource {
 public:
  RawImageSource(UniqueFd fd, std::uint64_t size)
      : ImageSource(ImageFormat::kRaw, size), fd_(std::move(fd)) {}

  Result<std::optional<std::uint64_t>> recorded_size() override { return file_size(); }

  Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
      const ssize_t count = retry_on_eintr([&] {
        return ::read(fd_.get(), buffer.data() + filled, buffer.size() - filled);
      });
      if (count < 0) {
        return fail(
            HelperError::io(codes::kImageMissing, "Could not read the image", errno));
      }
      if (count == 0) break;
      filled += static_cast<std::size_t>(count);
    }
    consumed_ += filled;
    note_file_bytes_read(consumed_);
    return filled;
  }

 private:
  UniqueFd fd_;
  std::uint64_t consumed_ = 0;
};

struct ArchiveDeleter {
  void operator()(archive* reader) const { archive_read_free(reader); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveDeleter>;

// "The xz image is damaged or unreadable (decompressing): ...".
HelperError damaged(ImageFormat format, std::string_view doing, std::string_view what) {
  return HelperError(codes::kImageMissing,
                     "The " + format_text(format) + " image is damaged or unreadable (" +
                         std::string(doing) + "): " + std::string(what) + ".");
}

HelperError archive_failure(ImageFormat format, archive* reader, std::string_view doing) {
  const char* text = reader != nullptr ? archive_error_string(reader) : nullptr;
  return damaged(format, doing, text != nullptr ? text : "unknown error");
}

// A libarchive reader over `fd` from its start, taught only the one format
// the file announced, so that nothing else is ever guessed at.
Result<ArchiveReader> open_archive(int fd, ImageFormat format) {
  ArchiveReader reader(archive_read_new());
  if (!reader) return fail(codes::kUnknown, "Could not start a libarchive reader.");
  int filter = ARCHIVE_OK;
  switch (format) {
    case ImageFormat::kBzip2:
      filter = archive_read_support_filter_bzip2(reader.get());
      break;
    case ImageFormat::kRaw:
    case ImageFormat::kGzip:
    case ImageFormat::kXz:
    case ImageFormat::kZstd:
    case ImageFormat::kZip:
      break;
  }
  // Seekable zip reading trusts the central directory, which is what lets
  // the entries be counted before any of them is read.
  const int container = format == ImageFormat::kZip
                            ? archive_read_support_format_zip_seekable(reader.get())
                            : archive_read_support_format_raw(reader.get());
  // ARCHIVE_WARN would mean an external program instead of the library.
  if (filter != ARCHIVE_OK || container != ARCHIVE_OK) {
    return fail(archive_failure(format, reader.get(), "no built-in decoder"));
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    return fail(
        HelperError::io(codes::kImageMissing, "Could not rewind the image", errno));
  }
  if (archive_read_open_fd(reader.get(), fd, kArchiveBlockBytes) != ARCHIVE_OK) {
    return fail(archive_failure(format, reader.get(), "opening"));
  }
  return reader;
}

// The filter libarchive must have chosen for `format`; a mismatch means the
// magic bytes were not followed by a header the decoder accepts.
int expected_filter(ImageFormat format) {
  switch (format) {
    case ImageFormat::kBzip2:
      return ARCHIVE_FILTER_BZIP2;
    case ImageFormat::kRaw:
    case ImageFormat::kGzip:
    case ImageFormat::kXz:
    case ImageFormat::kZstd:
    case ImageFormat::kZip:
      break;
  }
  return ARCHIVE_FILTER_NONE;
}

// Refuses a zip that is not exactly one plain file: writing the first of
// several entries would silently drop the rest, and a directory or an
// encrypted entry is no image.
Result<void> check_zip_entries(int fd) {
  RAVIK_ASSIGN_OR_RETURN(ArchiveReader reader, open_archive(fd, ImageFormat::kZip));
  archive_entry* entry = nullptr;
  int entries = 0;
  for (;;) {
    const int status = archive_read_next_header(reader.get(), &entry);
    if (status == ARCHIVE_EOF) break;
    if (status < ARCHIVE_WARN) {
      return fail(
          archive_failure(ImageFormat::kZip, reader.get(), "reading its directory"));
    }
    if (++entries > 1) {
      return fail(codes::kImageMissing,
                  "The zip archive holds several entries; only a zip holding exactly "
                  "one image can be written.");
    }
    const char* name = archive_entry_pathname(entry);
    const std::string shown = name != nullptr ? name : "?";
    if (archive_entry_filetype(entry) != AE_IFREG) {
      return fail(codes::kImageMissing,
                  "The zip archive's only entry, " + shown + ", is not a file.");
    }
    if (archive_entry_is_encrypted(entry)) {
      return fail(codes::kImageMissing,
                  "The zip archive's entry " + shown + " is encrypted.");
    }
  }
  if (entries == 0) return fail(codes::kImageMissing, "The zip archive holds no file.");
  return {};
}

// The uncompressed size in the index of every stream of an xz file, read
// from its end (pread, so a reader of the same descriptor is undisturbed).
// The decoder checks each block against the index as it decodes.
Result<std::optional<std::uint64_t>> xz_indexed_size(int fd, std::uint64_t file_size) {
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_index* index = nullptr;
  if (lzma_file_info_decoder(&stream, &index, kXzIndexMemoryLimit, file_size) !=
      LZMA_OK) {
    return fail(codes::kUnknown, "Could not start an xz index reader.");
  }
  std::vector<std::uint8_t> input(64 * 1024);
  std::uint64_t offset = 0;
  lzma_ret status = LZMA_OK;
  while (status == LZMA_OK) {
    if (stream.avail_in == 0) {
      const ssize_t count = retry_on_eintr([&] {
        return ::pread(fd, input.data(), input.size(), static_cast<off_t>(offset));
      });
      if (count < 0) {
        lzma_end(&stream);
        return fail(
            HelperError::io(codes::kImageMissing, "Could not read the image", errno));
      }
      offset += static_cast<std::uint64_t>(count);
      stream.next_in = input.data();
      stream.avail_in = static_cast<std::size_t>(count);
    }
    status = lzma_code(&stream, stream.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
    if (status == LZMA_SEEK_NEEDED) {
      offset = stream.seek_pos;
      stream.avail_in = 0;
      status = LZMA_OK;
    }
  }
  lzma_end(&stream);
  // An index too large to hold is no reason to refuse the file; a pass over
  // the data measures it instead.
  if (status == LZMA_MEMLIMIT_ERROR) return std::nullopt;
  if (status != LZMA_STREAM_END) {
    return fail(
        damaged(ImageFormat::kXz, "reading its size", "its index cannot be read"));
  }
  const std::uint64_t size = lzma_index_uncompressed_size(index);
  lzma_index_end(index, nullptr);
  return size;
}

// The sum of every zstd frame's content size, when every frame records one.
// Walking the frames reads their block headers, not the data; the decoder
// refuses a frame whose content differs from its recorded size.
Result<std::optional<std::uint64_t>> zstd_frame_sizes(int fd, std::uint64_t file_size) {
  if (file_size == 0) return std::nullopt;
  void* mapped = ::mmap(nullptr, file_size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (mapped == MAP_FAILED) {
    return fail(HelperError::io(codes::kImageMissing, "Could not map the image", errno));
  }
  const auto* bytes = static_cast<const std::uint8_t*>(mapped);
  std::uint64_t offset = 0;
  std::uint64_t total = 0;
  bool recorded = true;
  bool broken = false;
  while (offset < file_size && recorded && !broken) {
    // Skippable frames count 0.
    const unsigned long long content =
        ZSTD_getFrameContentSize(bytes + offset, file_size - offset);
    const std::size_t frame =
        ZSTD_findFrameCompressedSize(bytes + offset, file_size - offset);
    if (content == ZSTD_CONTENTSIZE_UNKNOWN) {
      recorded = false;
    } else {
      broken = content == ZSTD_CONTENTSIZE_ERROR || ZSTD_isError(frame) != 0 ||
               __builtin_add_overflow(total, content, &total);
      offset += frame;
    }
  }
  ::munmap(mapped, file_size);
  if (broken) {
    return fail(
        damaged(ImageFormat::kZstd, "reading its size", "its frames cannot be walked"));
  }
  if (!recorded) return std::nullopt;
  return total;
}

// A compressed image decoded a step at a time. Filling the caller's buffer,
// the end, and the first failure (which every later read repeats, so that
// a damaged stream can never read as ended) are the same for every decoder;
// each says what one step does.
class DecodedImageSource : public ImageSource {
 public:
  Result<std::size_t> read(std::span<std::uint8_t> buffer) final {
    if (failure_) return fail(*failure_);
    std::size_t filled = 0;
    while (filled < buffer.size() && !ended_) {
      auto step = decode(buffer.subspan(filled));
      if (!step) {
        failure_ = std::move(step).error();
        return fail(*failure_);
      }
      filled += *step;
    }
    return filled;
  }

 protected:
  using ImageSource::ImageSource;

  // One step into `out` (not empty): the bytes it decoded there, possibly
  // none; calls end() once the image is complete.
  virtual Result<std::size_t> decode(std::span<std::uint8_t> out) = 0;
  void end() { ended_ = true; }

 private:
  std::optional<HelperError> failure_;
  bool ended_ = false;
};

class ArchiveImageSource final : public DecodedImageSource {
 public:
  ArchiveImageSource(ImageFormat format, std::uint64_t file_size, UniqueFd fd,
                     ArchiveReader reader)
      : DecodedImageSource(format, file_size),
        fd_(std::move(fd)),
        reader_(std::move(reader)) {}

 private:
  Result<std::size_t> decode(std::span<std::uint8_t> out) override {
    const la_ssize_t count = archive_read_data(reader_.get(), out.data(), out.size());
    if (count < 0) return fail(archive_failure(format(), reader_.get(), "decompressing"));
    if (count == 0) end();
    note_file_bytes_read(
        static_cast<std::uint64_t>(archive_filter_bytes(reader_.get(), -1)));
    return static_cast<std::size_t>(count);
  }

  UniqueFd fd_;  // outlives the reader, which reads from it
  ArchiveReader reader_;
};

// The compressed file read in large pieces for a decoder the client drives
// itself.
class FileInput {
 public:
  explicit FileInput(UniqueFd fd) : fd_(std::move(fd)), buffer_(kInputBytes) {}

  // The next piece; empty once the file has ended. `consumed` is the file
  // bytes read so far.
  Result<std::span<const std::uint8_t>> next() {
    const ssize_t count =
        retry_on_eintr([&] { return ::read(fd_.get(), buffer_.data(), buffer_.size()); });
    if (count < 0) {
      return fail(
          HelperError::io(codes::kImageMissing, "Could not read the image", errno));
    }
    ended_ = count == 0;
    consumed_ += static_cast<std::uint64_t>(count);
    return std::span<const std::uint8_t>(buffer_.data(), static_cast<std::size_t>(count));
  }
  bool ended() const { return ended_; }
  std::uint64_t consumed() const { return consumed_; }
  int fd() const { return fd_.get(); }

 private:
  static constexpr std::size_t kInputBytes = 1024 * 1024;

  UniqueFd fd_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t consumed_ = 0;
  bool ended_ = false;
};

// A decoder fed from a FileInput: the next piece of the file, counted as
// consumed.
class FileDecodedImageSource : public DecodedImageSource {
 protected:
  FileDecodedImageSource(ImageFormat format, UniqueFd fd, std::uint64_t file_size)
      : DecodedImageSource(format, file_size), input_(std::move(fd)) {}

  Result<std::span<const std::uint8_t>> next_piece() {
    RAVIK_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> piece, input_.next());
    note_file_bytes_read(input_.consumed());
    return piece;
  }
  const FileInput& input() const { return input_; }

 private:
  FileInput input_;
};

// gzip through zlib itself: libarchive's gzip reader skips each member's
// trailer unchecked, so a damaged deflate stream that still decodes would be
// written as if it were the image. zlib checks every member's CRC-32 and
// length.
class GzipImageSource final : public FileDecodedImageSource {
 public:
  GzipImageSource(UniqueFd fd, std::uint64_t file_size)
      : FileDecodedImageSource(ImageFormat::kGzip, std::move(fd), file_size) {}
  GzipImageSource(const GzipImageSource&) = delete;
  GzipImageSource& operator=(const GzipImageSource&) = delete;
  ~GzipImageSource() override {
    if (started_) inflateEnd(&stream_);
  }

  Result<void> start() {
    // 16 + 15: a gzip wrapper around a deflate stream with a 32 KiB window.
    if (inflateInit2(&stream_, 16 + 15) != Z_OK) {
      return fail(codes::kUnknown, "Could not start a gzip decoder.");
    }
    started_ = true;
    return {};
  }

 private:
  Result<std::size_t> decode(std::span<std::uint8_t> out) override {
    if (stream_.avail_in == 0 && !input().ended()) {
      RAVIK_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> piece, next_piece());
      stream_.next_in = const_cast<Bytef*>(piece.data());
      stream_.avail_in = static_cast<uInt>(piece.size());
    }
    if (member_ended_) {
      // Another member may follow (as `cat a.gz b.gz` makes); anything
      // else after a member is refused by the header check.
      if (stream_.avail_in == 0 && input().ended()) {
        end();
        return 0;
      }
      // Zeros after the last member, as tapes and block-sized copies
      // leave them, are accepted as gzip accepts them; then nothing else.
      if (padded_ || stream_.next_in[0] == 0) {
        padded_ = true;
        if (!std::all_of(stream_.next_in, stream_.next_in + stream_.avail_in,
                         [](Bytef byte) { return byte == 0; })) {
          return fail(damaged(format(), "decompressing",
                              "data follows the zero padding after the last member"));
        }
        stream_.avail_in = 0;
        return 0;
      }
      inflateReset(&stream_);
      member_ended_ = false;
    }
    const std::size_t room = std::min<std::size_t>(out.size(), UINT32_MAX);
    stream_.next_out = out.data();
    stream_.avail_out = static_cast<uInt>(room);
    const int status = inflate(&stream_, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      member_ended_ = true;
    } else if (status == Z_BUF_ERROR && stream_.avail_in == 0 && input().ended()) {
      return fail(
          damaged(format(), "decompressing", "the file ends inside the compressed data"));
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      return fail(damaged(format(), "decompressing",
                          stream_.msg != nullptr ? stream_.msg : "zlib error"));
    }
    return room - stream_.avail_out;
  }

  z_stream stream_ = {};
  bool started_ = false;
  bool member_ended_ = false;
  bool padded_ = false;  // zeros seen after a member
};

std::string_view lzma_failure_text(lzma_ret status) {
  switch (status) {
    case LZMA_BUF_ERROR:
      return "the file ends inside the compressed data";
    case LZMA_DATA_ERROR:
      return "the compressed data is corrupt";
    case LZMA_FORMAT_ERROR:
      return "not an xz stream";
    case LZMA_OPTIONS_ERROR:
      return "unsupported compression options";
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
      return "not enough memory to decode it";
    default:
      return "liblzma error";
  }
}

// xz through liblzma's threaded decoder: files made by a threaded xz hold
// many blocks of recorded size, which it decodes on several cores at once
// (about twice as fast on two cores as one thread); other files it decodes
// like the single-threaded decoder. It checks every block's check and the
// index, and reads concatenated streams.
class XzImageSource final : public FileDecodedImageSource {
 public:
  XzImageSource(UniqueFd fd, std::uint64_t file_size)
      : FileDecodedImageSource(ImageFormat::kXz, std::move(fd), file_size) {}
  XzImageSource(const XzImageSource&) = delete;
  XzImageSource& operator=(const XzImageSource&) = delete;
  ~XzImageSource() override { lzma_end(&stream_); }

  Result<void> start() {
    lzma_mt options = {};
    options.flags = LZMA_CONCATENATED | LZMA_FAIL_FAST;
    options.threads = std::clamp<std::uint32_t>(lzma_cputhreads(), 1, kMaxThreads);
    options.timeout = 0;
    // Beyond this the decoder gives up threads, never the file; there is
    // no ceiling to stopping, as with xz itself.
    options.memlimit_threading = kThreadingMemory;
    options.memlimit_stop = UINT64_MAX;
    if (lzma_stream_decoder_mt(&stream_, &options) != LZMA_OK) {
      return fail(codes::kUnknown, "Could not start an xz decoder.");
    }
    return {};
  }

  Result<std::optional<std::uint64_t>> recorded_size() override {
    return xz_indexed_size(input().fd(), file_size());
  }

 private:
  Result<std::size_t> decode(std::span<std::uint8_t> out) override {
    if (stream_.avail_in == 0 && !input().ended()) {
      RAVIK_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> piece, next_piece());
      stream_.next_in = piece.data();
      stream_.avail_in = piece.size();
    }
    stream_.next_out = out.data();
    stream_.avail_out = out.size();
    const lzma_ret status = lzma_code(&stream_, input().ended() ? LZMA_FINISH : LZMA_RUN);
    if (status == LZMA_STREAM_END) {
      end();
    } else if (status != LZMA_OK) {
      return fail(damaged(format(), "decompressing", lzma_failure_text(status)));
    }
    return out.size() - stream_.avail_out;
  }

  static constexpr std::uint32_t kMaxThreads = 8;
  static constexpr std::uint64_t kThreadingMemory = 512ull * 1024 * 1024;

  lzma_stream stream_ = LZMA_STREAM_INIT;
};

struct ZstdContextDeleter {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// zstd through libzstd itself, decoding straight into the caller's buffer
// (libarchive would decode into its own and copy). Reads concatenated
// frames; checks each frame's checksum and recorded size when it has them.
class ZstdImageSource final : public FileDecodedImageSource {
 public:
  ZstdImageSource(UniqueFd fd, std::uint64_t file_size)
      : FileDecodedImageSource(ImageFormat::kZstd, std::move(fd), file_size),
        context_(ZSTD_createDCtx()) {}

  Result<void> start() {
    if (!context_) return fail(codes::kUnknown, "Could not start a zstd decoder.");
    return {};
  }

  Result<std::optional<std::uint64_t>> recorded_size() override {
    return zstd_frame_sizes(input().fd(), file_size());
  }

 private:
  Result<std::size_t> decode(std::span<std::uint8_t> out) override {
    if (pending_.pos == pending_.size && !input().ended()) {
      RAVIK_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> piece, next_piece());
      pending_ = {piece.data(), piece.size(), 0};
    }
    const bool drained = pending_.pos == pending_.size && input().ended();
    // 0 from the decoder: a frame ended and all of it was handed out.
    if (drained && hint_ == 0) {
      end();
      return 0;
    }
    ZSTD_outBuffer decoded = {out.data(), out.size(), 0};
    const std::size_t hint = ZSTD_decompressStream(context_.get(), &decoded, &pending_);
    if (ZSTD_isError(hint) != 0) {
      return fail(damaged(format(), "decompressing", ZSTD_getErrorName(hint)));
    }
    if (drained && decoded.pos == 0) {
      return fail(damaged(format(), "decompressing", "the file ends inside a frame"));
    }
    hint_ = hint;
    return decoded.pos;
  }

  std::unique_ptr<ZSTD_DCtx, ZstdContextDeleter> context_;
  ZSTD_inBuffer pending_ = {nullptr, 0, 0};
  std::size_t hint_ = 1;  // nothing decoded yet
};

}  // namespace

std::string_view image_format_name(ImageFormat format) {
  switch (format) {
    case ImageFormat::kRaw:
      return "raw";
    case ImageFormat::kGzip:
      return "gzip";
    case ImageFormat::kXz:
      return "xz";
    case ImageFormat::kZstd:
      return "zstd";
    case ImageFormat::kBzip2:
      return "bzip2";
    case ImageFormat::kZip:
      return "zip";
  }
  return "raw";
}

ImageFormat detect_image_format(std::span<const std::uint8_t> head) {
  // gzip with deflate, the only method gzip defines.
  if (starts_with(head, {0x1f, 0x8b, 0x08})) return ImageFormat::kGzip;
  if (starts_with(head, {0xfd, '7', 'z', 'X', 'Z', 0x00})) return ImageFormat::kXz;
  if (starts_with(head, {0x28, 0xb5, 0x2f, 0xfd})) return ImageFormat::kZstd;
  // "BZh", the block size digit, then a block's or the end's magic number.
  if (starts_with(head, {'B', 'Z', 'h'}) && head.size() >= 10 && head[3] >= '1' &&
      head[3] <= '9' &&
      (starts_with(head.subspan(4), {0x31, 0x41, 0x59, 0x26, 0x53, 0x59}) ||
       starts_with(head.subspan(4), {0x17, 0x72, 0x45, 0x38, 0x50, 0x90}))) {
    return ImageFormat::kBzip2;
  }
  // A local file header, or the end record of an empty archive.
  if (starts_with(head, {'P', 'K', 0x03, 0x04}) ||
      starts_with(head, {'P', 'K', 0x05, 0x06})) {
    return ImageFormat::kZip;
  }
  return ImageFormat::kRaw;
}

Result<std::unique_ptr<ImageSource>> open_image_source(const std::string& path) {
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
  const auto file_size = static_cast<std::uint64_t>(info.st_size);
  std::array<std::uint8_t, 16> head = {};
  const ssize_t count =
      retry_on_eintr([&] { return ::pread(fd.get(), head.data(), head.size(), 0); });
  if (count < 0) {
    return fail(HelperError::io(codes::kImageMissing, "Could not read the image", errno));
  }
  const ImageFormat format =
      detect_image_format(std::span(head).first(static_cast<std::size_t>(count)));
  if (format == ImageFormat::kRaw) {
    return std::make_unique<RawImageSource>(std::move(fd), file_size);
  }
  if (format == ImageFormat::kGzip) {
    auto gzip = std::make_unique<GzipImageSource>(std::move(fd), file_size);
    RAVIK_RETURN_IF_ERROR(gzip->start());
    return gzip;
  }
  if (format == ImageFormat::kXz) {
    auto xz = std::make_unique<XzImageSource>(std::move(fd), file_size);
    RAVIK_RETURN_IF_ERROR(xz->start());
    return xz;
  }
  if (format == ImageFormat::kZstd) {
    auto zstd = std::make_unique<ZstdImageSource>(std::move(fd), file_size);
    RAVIK_RETURN_IF_ERROR(zstd->start());
    return zstd;
  }
  if (format == ImageFormat::kZip) RAVIK_RETURN_IF_ERROR(check_zip_entries(fd.get()));
  RAVIK_ASSIGN_OR_RETURN(ArchiveReader reader, open_archive(fd.get(), format));
  archive_entry* entry = nullptr;
  if (archive_read_next_header(reader.get(), &entry) < ARCHIVE_WARN) {
    return fail(archive_failure(format, reader.get(), "reading its header"));
  }
  if (archive_filter_code(reader.get(), 0) != expected_filter(format)) {
    return fail(codes::kImageMissing, "The image begins like a " + format_text(format) +
                                          " file but is not one libarchive can read.");
  }
  return std::make_unique<ArchiveImageSource>(format, file_size, std::move(fd),
                                              std::move(reader));
}

}  // namespace ravik::job
