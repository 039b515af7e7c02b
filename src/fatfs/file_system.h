// FileSystem: a FAT12, FAT16 or FAT32 volume mounted on a caller's Stream,
// and RootDir, its root directory, where files are opened and created by
// name. Mounting validates the boot sector and reads the root directory;
// nothing is written until a file changes. unmount() (or flush()) writes
// every pending change: both FAT copies, directory entries and the FAT32
// FSInfo hints. Dropping a mounted FileSystem flushes it silently as a
// fallback; call unmount() to learn whether that worked. A RootDir or File
// used after its FileSystem is gone fails with kInvalidInput.
//
// Move-only; not thread-safe: one thread uses a FileSystem, its RootDir and
// its Files at a time. The Stream must outlive the FileSystem.
#ifndef RAVIK_FATFS_FILE_SYSTEM_H_
#define RAVIK_FATFS_FILE_SYSTEM_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fatfs/clock.h"
#include "fatfs/error.h"
#include "fatfs/fat_type.h"
#include "fatfs/file.h"
#include "fatfs/mount_options.h"
#include "fatfs/stream.h"

namespace fatfs {

class Volume;

// One visible entry of a directory listing.
struct DirListing {
  std::string name;        // the long name if there is one, else the 8.3 name
  std::string short_name;  // "NAME.EXT"
  std::uint32_t size = 0;
  bool is_directory = false;
  DateTime modified;
};

// How RootDir::write_file may be stopped.
struct WriteControl {
  // Asked before the new chain is recorded and again just before the
  // commit point; true abandons the replacement: the old file stays, the
  // new clusters are released, and the result is kCanceled. Never asked
  // after the commit point, which always runs to its end.
  std::function<bool()> canceled;
};

class RootDir {
 public:
  // Opens the file called `name`, matching long and 8.3 names regardless of
  // ASCII case. kNotFound when there is no such entry (and only then);
  // kInvalidInput for a directory or an invalid name.
  Result<File> open_file(std::string_view name);
  // Opens the file called `name`, creating it empty when there is none. New
  // names that are not plain upper-case 8.3 names get long-name entries, so
  // "config.txt" keeps its case. Names follow validate_file_name.
  Result<File> create_file(std::string_view name);
  // Makes `data` the whole content of `name`, creating the file when there
  // is none, by copy-on-write: the new content goes to free clusters and the
  // directory entry is switched in one write once the data and its chain
  // are durable; the old clusters are freed after that. A failure or power
  // cut at any point leaves the old file or the new one whole, and at worst
  // clusters no entry refers to. Refused before anything is written: kNoSpace
  // when the free clusters cannot hold `data` beside the old content;
  // kCorrupt when the old chain is not the file's alone (cross-linked with
  // the root directory or any other chain of the volume, in any directory,
  // running into a free or reserved value, or looping). Before the entry is
  // switched the new content is read back: kIo when the medium did not keep
  // it. Pending changes of earlier operations are
  // written first.
  Result<void> write_file(std::string_view name, std::span<const std::uint8_t> data,
                          const WriteControl& control = {});
  // The visible files and directories; kInvalidInput once unmounted.
  Result<std::vector<DirListing>> list() const;

 private:
  friend class FileSystem;
  explicit RootDir(std::weak_ptr<Volume> volume) : volume_(std::move(volume)) {}
  Result<std::shared_ptr<Volume>> lock() const;
  Result<File> open_entry(const std::shared_ptr<Volume>& volume, std::size_t index);

  std::weak_ptr<Volume> volume_;
};

class FileSystem {
 public:
  static Result<FileSystem> mount(Stream& stream, const MountOptions& options = {});

  FileSystem(FileSystem&&) noexcept;
  FileSystem& operator=(FileSystem&&) noexcept;
  ~FileSystem();

  FatType fat_type() const { return type_; }
  std::uint32_t cluster_size() const { return cluster_size_; }
  std::uint32_t cluster_count() const { return cluster_count_; }
  // The label of the root directory's label entry, else the boot sector's,
  // with trailing spaces removed.
  const std::string& volume_label() const { return label_; }

  RootDir root_dir();

  // Writes all pending metadata and flushes the stream.
  Result<void> flush();
  // flush(), after which the file system is no longer used (a later flush,
  // unmount or destruction does nothing).
  Result<void> unmount();

 private:
  explicit FileSystem(std::shared_ptr<Volume> volume);

  std::shared_ptr<Volume> volume_;  // null once unmounted
  FatType type_;
  std::uint32_t cluster_size_;
  std::uint32_t cluster_count_;
  std::string label_;
};

}  // namespace fatfs

#endif  // RAVIK_FATFS_FILE_SYSTEM_H_
