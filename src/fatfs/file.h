// File: an open file of a mounted FAT volume, with a position, reading,
// writing (clusters are allocated as the file grows), truncation and seeking
// within its size. Changes to the file's directory entry (size, first
// cluster, modification time) are kept by the volume and written by flush()
// or by unmounting. Move-only; not thread-safe. Once its FileSystem is
// unmounted or destroyed every operation fails with kInvalidInput. A file
// should be open through one File at a time.
#ifndef RAVIK_FATFS_FILE_H_
#define RAVIK_FATFS_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "fatfs/error.h"
#include "fatfs/stream.h"

namespace fatfs {

class Volume;

class File {
 public:
  File(File&&) = default;
  File& operator=(File&&) = default;

  std::uint32_t size() const { return size_; }
  std::uint64_t position() const { return position_; }

  // Moves the position relative to the start, the current position or the
  // end of the file and returns it. Targets outside 0..size() fail with
  // kInvalidInput and leave the position unchanged.
  Result<std::uint64_t> seek(std::int64_t offset, SeekFrom from);

  // Reads up to buffer.size() bytes; returns 0 at the end of the file.
  Result<std::size_t> read(std::span<std::uint8_t> buffer);
  // Fills the whole buffer or fails (kIo when the file ends first, after
  // which the position is at the end).
  Result<void> read_exact(std::span<std::uint8_t> buffer);

  // Writes all of `data` at the position, growing the file as needed. On
  // failure (kNoSpace, say) the bytes written so far remain and the size
  // and position reflect them.
  Result<void> write(std::span<const std::uint8_t> data);

  // Makes the current position the end of the file, releasing the clusters
  // beyond it. A file whose cluster chain is longer than its size needs is
  // neither written nor truncated (kCorrupt, nothing changed).
  Result<void> truncate();

  // Writes all pending metadata of the volume and flushes the stream.
  Result<void> flush();

 private:
  friend class RootDir;
  struct Extent {
    std::uint64_t offset;  // on the stream
    std::size_t length;
  };

  File(std::weak_ptr<Volume> volume, std::size_t entry_index, std::uint32_t first_cluster,
       std::uint32_t size, bool chain_exceeds_size = false)
      : volume_(std::move(volume)),
        entry_index_(entry_index),
        first_cluster_(first_cluster),
        size_(size),
        chain_exceeds_size_(chain_exceeds_size) {}

  Result<void> check_chain_owned() const;

  Result<std::shared_ptr<Volume>> lock() const;
  Result<std::uint32_t> cluster_at(Volume& volume, std::uint64_t index, bool allocate);
  Result<Extent> extent_at(Volume& volume, std::uint64_t position, std::size_t max_length,
                           bool allocate);
  void record_entry(Volume& volume, bool modified);

  std::weak_ptr<Volume> volume_;
  std::size_t entry_index_;
  std::uint32_t first_cluster_;
  std::uint32_t size_;
  // The chain runs past what the size needs, most likely into another file's
  // clusters (a cross-link); changing it would spread the damage.
  bool chain_exceeds_size_;
  std::uint64_t position_ = 0;
  // The cluster holding index `cursor_index_` of the chain, so sequential
  // access walks the FAT once.
  std::uint64_t cursor_index_ = 0;
  std::uint32_t cursor_cluster_ = 0;
};

}  // namespace fatfs

#endif  // RAVIK_FATFS_FILE_H_
