#include "boot_partition/bounded_partition.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "boot_partition/device_range_io.h"
#include "boot_partition/partition_locator.h"

namespace ravik {
namespace {

constexpr std::uint64_t kCacheBudgetBytes = 16 << 20;
// Largest single device write when the cache is written back.
constexpr std::uint64_t kMaxRunBytes = 1 << 20;

std::unexpected<fatfs::Error> device_failure(const IoError& error) {
  return fatfs::fail(fatfs::ErrorKind::kIo, error.describe());
}

}  // namespace

BoundedPartition::BoundedPartition(HeldDeviceIo& device, PartitionRange range,
                                   std::uint64_t block_size, bool aligned)
    : device_(&device),
      offset_(range.offset),
      length_(range.length),
      block_size_(block_size),
      aligned_(aligned),
      cache_unit_(aligned ? block_size : kTableSectorBytes) {}

Result<BoundedPartition> BoundedPartition::create(HeldDeviceIo& device,
                                                  PartitionRange range) {
  if (range.length > std::numeric_limits<std::uint64_t>::max() - range.offset) {
    return fail(codes::kBootCheckFailed, "Partition range overflow.");
  }
  if (range.offset + range.length > device.capacity()) {
    return fail(codes::kBootCheckFailed, "Partition range exceeds the held target.");
  }
  const std::uint64_t block_size = device.logical_block_size();
  const bool aligned = device.requires_aligned_io();
  if (aligned && (!valid_aligned_block_size(block_size) ||
                  range.offset % block_size != 0 || range.length % block_size != 0)) {
    return fail(codes::kBootCheckFailed,
                "The FAT partition is not aligned to the held target's logical block "
                "size.");
  }
  // Unaligned devices cache 512-byte blocks; a range of whole sectors (all
  // the locator yields) keeps every cached block inside the partition.
  if (!aligned &&
      (range.offset % kTableSectorBytes != 0 || range.length % kTableSectorBytes != 0)) {
    return fail(codes::kBootCheckFailed, "The FAT partition is not sector-aligned.");
  }
  return BoundedPartition(device, range, block_size, aligned);
}

fatfs::Result<std::uint64_t> BoundedPartition::seek(std::int64_t offset,
                                                    fatfs::SeekFrom from) {
  std::int64_t base = 0;
  if (from == fatfs::SeekFrom::kCurrent) base = static_cast<std::int64_t>(position_);
  if (from == fatfs::SeekFrom::kEnd) base = static_cast<std::int64_t>(length_);
  // Partitions end below 2^63, so base is exact; the sum may not be.
  std::int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 ||
      static_cast<std::uint64_t>(target) > length_) {
    return fatfs::fail(fatfs::ErrorKind::kInvalidInput,
                       "FAT seek is outside the selected partition");
  }
  position_ = static_cast<std::uint64_t>(target);
  return position_;
}

fatfs::Result<std::size_t> BoundedPartition::read(std::span<std::uint8_t> buffer) {
  if (position_ >= length_ || buffer.empty()) return 0;
  const std::size_t count = static_cast<std::size_t>(
      std::min<std::uint64_t>(buffer.size(), length_ - position_));
  const std::span<std::uint8_t> wanted = buffer.first(count);
  const std::uint64_t first = position_ / cache_unit_;
  const std::uint64_t end = position_ + count;
  // The device is read unless cached blocks cover the whole range.
  bool all_cached = true;
  for (std::uint64_t index = first; all_cached && index * cache_unit_ < end; ++index) {
    all_cached = dirty_.contains(index);
  }
  if (!all_cached) {
    if (auto read = read_device_range_with_alignment(*device_, offset_ + position_,
                                                     wanted, block_size_, aligned_);
        !read) {
      return device_failure(read.error());
    }
  }
  // Cached blocks are newer than the device.
  for (auto it = dirty_.lower_bound(first);
       it != dirty_.end() && it->first * cache_unit_ < end; ++it) {
    const std::uint64_t block_start = it->first * cache_unit_;
    const std::uint64_t from = std::max(block_start, position_);
    const std::uint64_t to = std::min(block_start + cache_unit_, end);
    std::memcpy(wanted.data() + (from - position_),
                it->second.data() + (from - block_start), to - from);
  }
  position_ += count;
  return count;
}

fatfs::Result<std::vector<std::uint8_t>*> BoundedPartition::cached_block(
    std::uint64_t index, bool fill) {
  if (auto found = dirty_.find(index); found != dirty_.end()) return &found->second;
  if (dirty_.size() * cache_unit_ >= kCacheBudgetBytes) FATFS_TRY(write_back());
  std::vector<std::uint8_t> block(cache_unit_, 0);
  if (fill) {
    if (auto read = read_device_range_with_alignment(
            *device_, offset_ + index * cache_unit_, block, block_size_, aligned_);
        !read) {
      return device_failure(read.error());
    }
  }
  return &dirty_.emplace(index, std::move(block)).first->second;
}

fatfs::Result<std::size_t> BoundedPartition::write(std::span<const std::uint8_t> data) {
  if (discarded_) {
    return fatfs::fail(fatfs::ErrorKind::kIo,
                       "the partition stream was discarded after a failed operation");
  }
  const std::uint64_t room = position_ >= length_ ? 0 : length_ - position_;
  if (data.size() > room) {
    return fatfs::fail(fatfs::ErrorKind::kNoSpace,
                       "FAT write exceeds the selected partition");
  }
  std::uint64_t at = position_;
  std::size_t done = 0;
  while (done < data.size()) {
    const std::uint64_t index = at / cache_unit_;
    const std::uint64_t skip = at % cache_unit_;
    const std::uint64_t count =
        std::min<std::uint64_t>(data.size() - done, cache_unit_ - skip);
    // A block the write covers whole needs no read of its old bytes.
    FATFS_ASSIGN_OR_RETURN(block, cached_block(index, count != cache_unit_));
    std::memcpy(block->data() + skip, data.data() + done, count);
    done += count;
    at += count;
  }
  position_ = at;
  return data.size();
}

fatfs::Result<void> BoundedPartition::write_back() {
  std::vector<std::uint8_t> run;
  while (!dirty_.empty()) {
    const auto first = dirty_.begin();
    const std::uint64_t start = first->first;
    auto it = first;
    run.clear();
    while (it != dirty_.end() && it->first == start + run.size() / cache_unit_ &&
           run.size() < kMaxRunBytes) {
      run.insert(run.end(), it->second.begin(), it->second.end());
      ++it;
    }
    if (auto written = write_device_range_with_alignment(
            *device_, offset_ + start * cache_unit_, run, block_size_, aligned_);
        !written) {
      return device_failure(written.error());
    }
    dirty_.erase(first, it);
  }
  return {};
}

fatfs::Result<void> BoundedPartition::flush() {
  if (discarded_) {
    return fatfs::fail(fatfs::ErrorKind::kIo,
                       "the partition stream was discarded after a failed operation");
  }
  FATFS_TRY(write_back());
  // The library orders its writes with flush(), so it must be a barrier:
  // everything written so far is durable before anything written after.
  if (auto synced = device_->sync_all(); !synced) {
    return fatfs::fail(fatfs::ErrorKind::kIo, synced.error().message());
  }
  return {};
}

void BoundedPartition::discard() {
  dirty_.clear();
  discarded_ = true;
}

}  // namespace ravik
