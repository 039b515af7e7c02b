// BackupFile: a disk's bytes kept as an image file, compressed on the fly as
// the file's name asks (".zst", ".xz", ".gz", anything else raw), hashed as
// they come, and beside it, once complete, the "IMAGE.sha256" line that
// sha256sum would print for the disk's bytes.
//
// The bytes go to a temporary file in the image's directory, which takes the
// final name only once it is complete and synced: an interrupted backup
// leaves no file under the final name, only the temporary one (removed when
// the BackupFile is destroyed uncommitted). An existing image or checksum
// file is refused up front, and again at the rename, unless overwriting was
// asked for.
//
// Not thread-safe, except bytes_in() and file_bytes(), which a progress
// display may poll from another thread.
#ifndef RAVIK_JOB_BACKUP_FILE_H_
#define RAVIK_JOB_BACKUP_FILE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "io/sha256.h"
#include "io/unique_fd.h"

namespace ravik::job {

enum class BackupCompression { kNone, kGzip, kXz, kZstd };

// By the name's extension, in any letter case.
BackupCompression backup_compression_for(std::string_view path);
// "raw", "gzip", "xz", "zstd".
std::string_view backup_compression_name(BackupCompression compression);

// The sha256sum line of `digest` for the file named `image_path` (by its
// base name, so that the line still names it after both files are moved).
std::string sha256sum_line(std::string_view digest, std::string_view image_path);

// Turns bytes into the file's bytes; the one kind per compression.
class BackupEncoder {
 public:
  virtual ~BackupEncoder() = default;
  // Encodes `input`, appending whatever output is ready to `output`.
  virtual Result<void> encode(std::span<const std::uint8_t> input,
                              std::string& output) = 0;
  // Ends the stream, appending its last bytes to `output`.
  virtual Result<void> finish(std::string& output) = 0;
};

std::unique_ptr<BackupEncoder> make_backup_encoder(BackupCompression compression);

class BackupFile {
 public:
  // Refuses `path` or its checksum file when one exists and `overwrite` is
  // false, then makes the temporary file.
  static Result<BackupFile> create(const std::string& path, bool overwrite);

  BackupFile(BackupFile&& other) noexcept;
  BackupFile& operator=(BackupFile&&) = delete;
  ~BackupFile();

  const std::string& path() const { return path_; }
  BackupCompression compression() const { return compression_; }
  // The disk's bytes, in order.
  Result<void> append(std::span<const std::uint8_t> bytes);
  // Ends the stream, syncs the file, gives it its final name and writes the
  // checksum file beside it the same way. Returns the disk's digest.
  Result<std::string> commit();

  // Disk bytes taken so far, and file bytes written for them.
  std::uint64_t bytes_in() const { return bytes_in_.load(); }
  std::uint64_t file_bytes() const { return file_bytes_.load(); }
  const std::string& temporary_path() const { return temporary_path_; }

 private:
  BackupFile(std::string path, std::string temporary_path, UniqueFd file, bool overwrite);
  Result<void> flush_output(bool all);

  std::string path_;
  std::string temporary_path_;  // empty once renamed or moved from
  UniqueFd file_;
  bool overwrite_ = false;
  BackupCompression compression_ = BackupCompression::kNone;
  std::unique_ptr<BackupEncoder> encoder_;
  Sha256 hasher_;
  std::string pending_;  // encoded bytes not yet written
  std::atomic<std::uint64_t> bytes_in_{0};
  std::atomic<std::uint64_t> file_bytes_{0};
};

}  // namespace ravik::job

#endif  // RAVIK_JOB_BACKUP_FILE_H_
