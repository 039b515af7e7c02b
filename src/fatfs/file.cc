#include "fatfs/file.h"

#include <algorithm>
#include <limits>

#include "fatfs/volume.h"

namespace fatfs {
namespace {

constexpr std::uint64_t kMaxFileSize = std::numeric_limits<std::uint32_t>::max();

}  // namespace

Result<std::shared_ptr<Volume>> File::lock() const {
  std::shared_ptr<Volume> volume = volume_.lock();
  if (!volume)
    return fail(ErrorKind::kInvalidInput, "the file system is no longer mounted");
  return volume;
}

Result<std::uint64_t> File::seek(std::int64_t offset, SeekFrom from) {
  std::int64_t base = 0;
  if (from == SeekFrom::kCurrent) base = static_cast<std::int64_t>(position_);
  if (from == SeekFrom::kEnd) base = size_;
  // Both terms are far from the int64 limits only when offset is sane.
  if ((offset > 0 && base > std::numeric_limits<std::int64_t>::max() - offset) ||
      base + offset < 0 || static_cast<std::uint64_t>(base + offset) > size_) {
    return fail(ErrorKind::kInvalidInput, "seek target is outside the file");
  }
  position_ = static_cast<std::uint64_t>(base + offset);
  return position_;
}

Result<std::uint32_t> File::cluster_at(Volume& volume, std::uint64_t index,
                                       bool allocate) {
  ClusterAllocator& allocator = volume.allocator();
  if (first_cluster_ == 0) {
    if (!allocate) return fail(ErrorKind::kCorrupt, "a non-empty file has no clusters");
    FATFS_ASSIGN_OR_RETURN(cluster, allocator.allocate(0));
    first_cluster_ = cluster;
    cursor_index_ = 0;
    cursor_cluster_ = cluster;
  }
  if (cursor_cluster_ == 0 || cursor_index_ > index) {
    cursor_index_ = 0;
    cursor_cluster_ = first_cluster_;
  }
  while (cursor_index_ < index) {
    FATFS_ASSIGN_OR_RETURN(next, volume.fat().next(cursor_cluster_));
    if (!next) {
      if (!allocate) {
        return fail(ErrorKind::kCorrupt, "the file's size exceeds its cluster chain");
      }
      FATFS_ASSIGN_OR_RETURN(fresh, allocator.allocate(cursor_cluster_));
      next = fresh;
    }
    cursor_cluster_ = *next;
    ++cursor_index_;
  }
  return cursor_cluster_;
}

Result<File::Extent> File::extent_at(Volume& volume, std::uint64_t position,
                                     std::size_t max_length, bool allocate) {
  const std::uint32_t cluster_bytes = volume.layout().bytes_per_cluster;
  FATFS_ASSIGN_OR_RETURN(cluster, cluster_at(volume, position / cluster_bytes, allocate));
  const std::uint64_t within = position % cluster_bytes;
  Extent extent{volume.layout().cluster_offset(cluster) + within,
                static_cast<std::size_t>(
                    std::min<std::uint64_t>(cluster_bytes - within, max_length))};
  // Adjacent clusters join the extent so that large transfers are few.
  while (extent.length < max_length) {
    const std::uint32_t previous = cursor_cluster_;
    // A failure here ends the extent; the bytes already covered are still
    // transferred and the next call meets the failure again.
    const auto next = cluster_at(volume, cursor_index_ + 1, allocate);
    if (!next || *next != previous + 1) break;
    extent.length += std::min<std::size_t>(cluster_bytes, max_length - extent.length);
  }
  return extent;
}

Result<std::size_t> File::read(std::span<std::uint8_t> buffer) {
  FATFS_ASSIGN_OR_RETURN(volume, lock());
  const std::size_t length =
      static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size_ - position_));
  std::size_t done = 0;
  while (done < length) {
    FATFS_ASSIGN_OR_RETURN(extent, extent_at(*volume, position_, length - done, false));
    FATFS_TRY(
        volume->device().read_at(extent.offset, buffer.subspan(done, extent.length)));
    done += extent.length;
    position_ += extent.length;
  }
  if (length > 0 && volume->options().update_access_date) {
    DirEntry entry = volume->root().entry(entry_index_);
    entry.set_accessed(volume->now());
    volume->root().update(entry_index_, entry);
  }
  return done;
}

Result<void> File::read_exact(std::span<std::uint8_t> buffer) {
  FATFS_ASSIGN_OR_RETURN(count, read(buffer));
  if (count < buffer.size()) {
    return fail(ErrorKind::kIo, "the file ended before the requested bytes were read");
  }
  return {};
}

Result<void> File::check_chain_owned() const {
  if (chain_exceeds_size_) {
    return fail(ErrorKind::kCorrupt,
                "the file's cluster chain is longer than its size needs; it may be "
                "cross-linked with another file");
  }
  return {};
}

Result<void> File::write(std::span<const std::uint8_t> data) {
  FATFS_ASSIGN_OR_RETURN(volume, lock());
  FATFS_TRY(check_chain_owned());
  if (data.size() > kMaxFileSize - position_) {
    return fail(ErrorKind::kInvalidInput, "FAT files cannot reach 4 GiB");
  }
  Result<void> outcome;
  std::size_t done = 0;
  while (done < data.size()) {
    auto extent = extent_at(*volume, position_, data.size() - done, true);
    if (!extent) {
      outcome = std::unexpected(std::move(extent).error());
      break;
    }
    auto written =
        volume->device().write_at(extent->offset, data.subspan(done, extent->length));
    if (!written) {
      outcome = std::unexpected(std::move(written).error());
      break;
    }
    done += extent->length;
    position_ += extent->length;
    size_ = static_cast<std::uint32_t>(std::max<std::uint64_t>(size_, position_));
  }
  record_entry(*volume, !data.empty());
  return outcome;
}

Result<void> File::truncate() {
  FATFS_ASSIGN_OR_RETURN(volume, lock());
  FATFS_TRY(check_chain_owned());
  const std::uint32_t cluster_bytes = volume->layout().bytes_per_cluster;
  const std::uint64_t keep = (position_ + cluster_bytes - 1) / cluster_bytes;
  if (keep == 0) {
    if (first_cluster_ != 0) FATFS_TRY(volume->allocator().free_chain(first_cluster_));
    first_cluster_ = 0;
  } else {
    FATFS_ASSIGN_OR_RETURN(last, cluster_at(*volume, keep - 1, false));
    FATFS_TRY(volume->allocator().cut_after(last));
  }
  cursor_cluster_ = 0;
  size_ = static_cast<std::uint32_t>(position_);
  record_entry(*volume, true);
  return {};
}

void File::record_entry(Volume& volume, bool modified) {
  DirEntry entry = volume.root().entry(entry_index_);
  entry.set_size(size_);
  entry.set_first_cluster(first_cluster_);
  if (modified) {
    entry.set_modified(volume.now());
    entry.set_attributes(entry.attributes() | attr::kArchive);
  }
  volume.root().update(entry_index_, entry);
}

Result<void> File::flush() {
  FATFS_ASSIGN_OR_RETURN(volume, lock());
  return volume->flush();
}

}  // namespace fatfs
