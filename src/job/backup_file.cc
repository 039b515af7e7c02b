#include "job/backup_file.h"

#include <fcntl.h>
#include <lzma.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <thread>

#include "io/eintr.h"
#include "io/write_all.h"

namespace ravik::job {
namespace {

// Enough encoded bytes per write that the file system sees large writes.
constexpr std::size_t kWriteBytes = 4 * 1024 * 1024;
// The encoders' output grows in steps of this much.
constexpr std::size_t kOutputStep = 256 * 1024;

HelperError encoder_failure(std::string_view format, std::string_view what) {
  return HelperError(codes::kWriteFailed, "Could not compress the backup as " +
                                              std::string(format) + ": " +
                                              std::string(what) + ".");
}

std::string_view file_name_of(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

class RawEncoder : public BackupEncoder {
 public:
  Result<void> encode(std::span<const std::uint8_t> input, std::string& output) override {
    output.append(reinterpret_cast<const char*>(input.data()), input.size());
    return {};
  }
  Result<void> finish(std::string&) override { return {}; }
};

class ZstdEncoder : public BackupEncoder {
 public:
  ZstdEncoder() : context_(ZSTD_createCCtx()) {
    (void)ZSTD_CCtx_setParameter(context_.get(), ZSTD_c_compressionLevel, 3);
    (void)ZSTD_CCtx_setParameter(context_.get(), ZSTD_c_checksumFlag, 1);
    // One worker compresses while this thread reads the disk; a library
    // built without threads keeps working on this thread.
    (void)ZSTD_CCtx_setParameter(context_.get(), ZSTD_c_nbWorkers, 1);
  }
  Result<void> encode(std::span<const std::uint8_t> input, std::string& output) override {
    return run(input, ZSTD_e_continue, output);
  }
  Result<void> finish(std::string& output) override {
    return run({}, ZSTD_e_end, output);
  }

 private:
  struct Deleter {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
  };
  Result<void> run(std::span<const std::uint8_t> input, ZSTD_EndDirective mode,
                   std::string& output) {
    if (context_ == nullptr) return fail(encoder_failure("zstd", "out of memory"));
    ZSTD_inBuffer in{input.data(), input.size(), 0};
    for (;;) {
      const std::size_t start = output.size();
      output.resize(start + kOutputStep);
      ZSTD_outBuffer out{output.data() + start, kOutputStep, 0};
      const std::size_t left = ZSTD_compressStream2(context_.get(), &out, &in, mode);
      output.resize(start + out.pos);
      if (ZSTD_isError(left) != 0U) {
        return fail(encoder_failure("zstd", ZSTD_getErrorName(left)));
      }
      const bool input_taken = in.pos == in.size;
      if (mode == ZSTD_e_end ? left == 0 : input_taken && out.pos < kOutputStep) break;
    }
    return {};
  }
  std::unique_ptr<ZSTD_CCtx, Deleter> context_;
};

class XzEncoder : public BackupEncoder {
 public:
  XzEncoder() {
    lzma_mt options = {};
    options.threads = std::clamp(std::thread::hardware_concurrency(), 1U, 4U);
    options.preset = LZMA_PRESET_DEFAULT;
    options.check = LZMA_CHECK_CRC64;
    status_ = lzma_stream_encoder_mt(&stream_, &options);
  }
  ~XzEncoder() override { lzma_end(&stream_); }
  Result<void> encode(std::span<const std::uint8_t> input, std::string& output) override {
    return run(input, LZMA_RUN, output);
  }
  Result<void> finish(std::string& output) override {
    return run({}, LZMA_FINISH, output);
  }

 private:
  Result<void> run(std::span<const std::uint8_t> input, lzma_action action,
                   std::string& output) {
    if (status_ != LZMA_OK) return fail(encoder_failure("xz", "no encoder"));
    stream_.next_in = input.data();
    stream_.avail_in = input.size();
    for (;;) {
      const std::size_t start = output.size();
      output.resize(start + kOutputStep);
      stream_.next_out = reinterpret_cast<std::uint8_t*>(output.data() + start);
      stream_.avail_out = kOutputStep;
      const lzma_ret status = lzma_code(&stream_, action);
      output.resize(start + kOutputStep - stream_.avail_out);
      if (status == LZMA_STREAM_END) break;
      if (status != LZMA_OK) return fail(encoder_failure("xz", "encoder error"));
      if (action == LZMA_RUN && stream_.avail_in == 0 && stream_.avail_out != 0) break;
    }
    return {};
  }
  lzma_stream stream_ = LZMA_STREAM_INIT;
  lzma_ret status_;
};

class GzipEncoder : public BackupEncoder {
 public:
  GzipEncoder() {
    // 15 window bits, plus 16: a gzip header and trailer.
    status_ = deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                           Z_DEFAULT_STRATEGY);
  }
  ~GzipEncoder() override {
    if (status_ == Z_OK) deflateEnd(&stream_);
  }
  Result<void> encode(std::span<const std::uint8_t> input, std::string& output) override {
    return run(input, Z_NO_FLUSH, output);
  }
  Result<void> finish(std::string& output) override { return run({}, Z_FINISH, output); }

 private:
  Result<void> run(std::span<const std::uint8_t> input, int flush, std::string& output) {
    if (status_ != Z_OK) return fail(encoder_failure("gzip", "no encoder"));
    // zlib counts in 32 bits; the caller's pieces are far smaller.
    stream_.next_in = const_cast<Bytef*>(input.data());
    stream_.avail_in = static_cast<uInt>(input.size());
    for (;;) {
      const std::size_t start = output.size();
      output.resize(start + kOutputStep);
      stream_.next_out = reinterpret_cast<Bytef*>(output.data() + start);
      stream_.avail_out = kOutputStep;
      const int status = deflate(&stream_, flush);
      output.resize(start + kOutputStep - stream_.avail_out);
      if (status == Z_STREAM_END) break;
      if (status != Z_OK && status != Z_BUF_ERROR) {
        return fail(encoder_failure("gzip", "encoder error"));
      }
      if (flush == Z_NO_FLUSH && stream_.avail_in == 0 && stream_.avail_out != 0) break;
    }
    return {};
  }
  z_stream stream_ = {};
  int status_;
};

bool path_taken(const std::string& path) {
  struct stat info = {};
  return ::lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

// Gives `from` the name `to`; without `overwrite` never over an existing
// file, even one that appeared since the check at the start.
Result<void> publish(const std::string& from, const std::string& to, bool overwrite) {
  int status = 0;
  if (overwrite) {
    status = ::rename(from.c_str(), to.c_str());
  } else {
    status = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (status != 0 && errno == EINVAL) {
      // A file system without the flag: a hard link refuses an existing
      // name just as well.
      status = ::link(from.c_str(), to.c_str());
      if (status == 0) (void)::unlink(from.c_str());
    }
  }
  if (status == 0) return {};
  if (errno == EEXIST) {
    return fail(codes::kWriteFailed,
                to + " appeared during the backup; it was left alone (--overwrite "
                     "replaces it).");
  }
  return fail(
      HelperError::io(codes::kWriteFailed, "Could not name the backup " + to, errno));
}

Result<void> sync_directory(const std::string& path) {
  UniqueFd directory(
      ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory || ::fsync(directory.get()) != 0) {
    return fail(HelperError::io(
        codes::kWriteFailed,
        "Could not make the backup's name durable in " + directory_of(path), errno));
  }
  return {};
}

// A new file beside `path` under a name of its own, with the permissions
// the user's umask gives new files.
Result<std::pair<std::string, UniqueFd>> make_temporary(const std::string& path) {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = directory_of(path) + "/." + std::string(file_name_of(path)) +
                             ".partial-" + std::to_string(::getpid()) + "-" +
                             std::to_string(random() % 1000000);
    UniqueFd file(::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file) return std::pair{name, std::move(file)};
    if (errno != EEXIST) {
      return fail(HelperError::io(codes::kWriteFailed,
                                  "Could not make the backup's temporary file " + name,
                                  errno));
    }
  }
  return fail(codes::kWriteFailed, "Could not find a free temporary name beside " + path);
}

Result<void> write_fully(int fd, std::string_view bytes, const std::string& path) {
  if (auto written = write_all(fd, bytes); !written) {
    return fail(written.error().to_helper_error(codes::kWriteFailed,
                                                "Could not write the backup " + path));
  }
  return {};
}

}  // namespace

BackupCompression backup_compression_for(std::string_view path) {
  std::string name(file_name_of(path));
  std::ranges::transform(name, name.begin(), [](char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  if (name.ends_with(".zst")) return BackupCompression::kZstd;
  if (name.ends_with(".xz")) return BackupCompression::kXz;
  if (name.ends_with(".gz")) return BackupCompression::kGzip;
  return BackupCompression::kNone;
}

std::string_view backup_compression_name(BackupCompression compression) {
  switch (compression) {
    case BackupCompression::kNone:
      return "raw";
    case BackupCompression::kGzip:
      return "gzip";
    case BackupCompression::kXz:
      return "xz";
    case BackupCompression::kZstd:
      return "zstd";
  }
  return "raw";
}

std::string sha256sum_line(std::string_view digest, std::string_view image_path) {
  return std::string(digest) + "  " + std::string(file_name_of(image_path)) + "\n";
}

std::unique_ptr<BackupEncoder> make_backup_encoder(BackupCompression compression) {
  switch (compression) {
    case BackupCompression::kZstd:
      return std::make_unique<ZstdEncoder>();
    case BackupCompression::kXz:
      return std::make_unique<XzEncoder>();
    case BackupCompression::kGzip:
      return std::make_unique<GzipEncoder>();
    case BackupCompression::kNone:
      break;
  }
  return std::make_unique<RawEncoder>();
}

Result<BackupFile> BackupFile::create(const std::string& path, bool overwrite) {
  if (path.empty() || path.ends_with('/')) {
    return fail(codes::kWriteFailed,
                "The backup needs a file name, not \"" + path + "\".");
  }
  if (!overwrite) {
    for (const std::string& taken : {path, path + ".sha256"}) {
      if (path_taken(taken)) {
        return fail(codes::kWriteFailed,
                    taken + " exists; --overwrite replaces it. Nothing was read.");
      }
    }
  }
  RAVIK_ASSIGN_OR_RETURN(auto temporary, make_temporary(path));
  return BackupFile(path, std::move(temporary.first), std::move(temporary.second),
                    overwrite);
}

BackupFile::BackupFile(std::string path, std::string temporary_path, UniqueFd file,
                       bool overwrite)
    : path_(std::move(path)),
      temporary_path_(std::move(temporary_path)),
      file_(std::move(file)),
      overwrite_(overwrite),
      compression_(backup_compression_for(path_)),
      encoder_(make_backup_encoder(compression_)) {}

BackupFile::BackupFile(BackupFile&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_path_(std::exchange(other.temporary_path_, {})),
      file_(std::move(other.file_)),
      overwrite_(other.overwrite_),
      compression_(other.compression_),
      encoder_(std::move(other.encoder_)),
      hasher_(std::move(other.hasher_)),
      pending_(std::move(other.pending_)),
      bytes_in_(other.bytes_in_.load()),
      file_bytes_(other.file_bytes_.load()) {}

BackupFile::~BackupFile() {
  if (!temporary_path_.empty()) (void)::unlink(temporary_path_.c_str());
}

Result<void> BackupFile::append(std::span<const std::uint8_t> bytes) {
  hasher_.update(bytes);
  RAVIK_RETURN_IF_ERROR(encoder_->encode(bytes, pending_));
  bytes_in_ += bytes.size();
  return flush_output(false);
}

Result<void> BackupFile::flush_output(bool all) {
  if (pending_.empty() || (!all && pending_.size() < kWriteBytes)) return {};
  RAVIK_RETURN_IF_ERROR(write_fully(file_.get(), pending_, temporary_path_));
  file_bytes_ += pending_.size();
  pending_.clear();
  return {};
}

Result<std::string> BackupFile::commit() {
  RAVIK_RETURN_IF_ERROR(encoder_->finish(pending_));
  RAVIK_RETURN_IF_ERROR(flush_output(true));
  if (::fsync(file_.get()) != 0 || ::close(file_.release()) != 0) {
    return fail(HelperError::io(codes::kWriteFailed,
                                "Could not make the backup durable in " + temporary_path_,
                                errno));
  }
  const std::string digest = hasher_.finish_hex();
  RAVIK_RETURN_IF_ERROR(publish(temporary_path_, path_, overwrite_));
  temporary_path_.clear();
  // The checksum line the same way: complete and synced before it is named.
  RAVIK_ASSIGN_OR_RETURN(auto checksum, make_temporary(path_ + ".sha256"));
  struct Unlinked {
    std::string path;
    ~Unlinked() {
      if (!path.empty()) (void)::unlink(path.c_str());
    }
  } unnamed{checksum.first};
  RAVIK_RETURN_IF_ERROR(
      write_fully(checksum.second.get(), sha256sum_line(digest, path_), checksum.first));
  if (::fsync(checksum.second.get()) != 0) {
    return fail(HelperError::io(codes::kWriteFailed,
                                "Could not make the checksum file durable", errno));
  }
  RAVIK_RETURN_IF_ERROR(publish(checksum.first, path_ + ".sha256", overwrite_));
  unnamed.path.clear();
  RAVIK_RETURN_IF_ERROR(sync_directory(path_));
  return digest;
}

}  // namespace ravik::job
