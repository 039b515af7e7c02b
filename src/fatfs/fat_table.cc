#include "fatfs/fat_table.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "fatfs/byte_order.h"

namespace fatfs {

FatTable::FatTable(Device& device, const VolumeLayout& layout)
    : device_(&device), layout_(layout) {}

std::uint32_t FatTable::end_marker_min() const {
  switch (layout_.type) {
    case FatType::kFat12:
      return 0xFF8;
    case FatType::kFat16:
      return 0xFFF8;
    case FatType::kFat32:
      return 0x0FFFFFF8;
  }
  return 0x0FFFFFF8;
}

Result<FatTable::Page*> FatTable::page(std::uint64_t index) {
  if (last_page_ != nullptr && last_index_ == index) return last_page_;
  auto found = pages_.find(index);
  if (found == pages_.end()) {
    if ((pages_.size() + 1) * kPageSize > kCacheBudget) {
      // Simple and bounded: write back what changed and start over.
      FATFS_TRY(flush());
      pages_.clear();
    }
    const std::uint64_t start = index * kPageSize;
    Page fresh;
    fresh.bytes.resize(std::min(kPageSize, layout_.fat_bytes - start));
    fresh.dirty.assign(
        (fresh.bytes.size() + layout_.bytes_per_sector - 1) / layout_.bytes_per_sector,
        false);
    const std::uint64_t copy_offset =
        layout_.fat_offset +
        static_cast<std::uint64_t>(layout_.active_fat) * layout_.fat_bytes;
    FATFS_TRY(device_->read_at(copy_offset + start, fresh.bytes));
    found = pages_.emplace(index, std::move(fresh)).first;
  }
  last_index_ = index;
  last_page_ = &found->second;
  return last_page_;
}

Result<std::uint8_t*> FatTable::byte(std::uint64_t offset) {
  FATFS_ASSIGN_OR_RETURN(p, page(offset / kPageSize));
  return &p->bytes[offset % kPageSize];
}

void FatTable::mark(std::uint64_t offset) {
  last_page_->dirty[(offset % kPageSize) / layout_.bytes_per_sector] = true;
  last_page_->any_dirty = true;
}

Result<std::uint32_t> FatTable::get(std::uint32_t cluster) {
  switch (layout_.type) {
    case FatType::kFat12: {
      const std::uint64_t offset = cluster + cluster / 2;
      FATFS_ASSIGN_OR_RETURN(lo, byte(offset));
      const std::uint32_t low = *lo;
      FATFS_ASSIGN_OR_RETURN(hi, byte(offset + 1));
      const std::uint32_t pair = low | (static_cast<std::uint32_t>(*hi) << 8);
      return (cluster & 1) ? pair >> 4 : pair & 0xFFF;
    }
    case FatType::kFat16: {
      const std::uint64_t offset = std::uint64_t{cluster} * 2;
      FATFS_ASSIGN_OR_RETURN(p, page(offset / kPageSize));
      return load_le16(p->bytes, offset % kPageSize);
    }
    case FatType::kFat32: {
      const std::uint64_t offset = std::uint64_t{cluster} * 4;
      FATFS_ASSIGN_OR_RETURN(p, page(offset / kPageSize));
      return load_le32(p->bytes, offset % kPageSize) & 0x0FFFFFFF;
    }
  }
  return fail(ErrorKind::kCorrupt, "unknown FAT type");
}

Result<void> FatTable::set(std::uint32_t cluster, std::uint32_t value) {
  switch (layout_.type) {
    case FatType::kFat12: {
      const std::uint64_t offset = cluster + cluster / 2;
      FATFS_ASSIGN_OR_RETURN(lo, byte(offset));
      if (cluster & 1) {
        *lo = static_cast<std::uint8_t>((*lo & 0x0F) | ((value << 4) & 0xF0));
      } else {
        *lo = static_cast<std::uint8_t>(value);
      }
      mark(offset);
      FATFS_ASSIGN_OR_RETURN(hi, byte(offset + 1));
      if (cluster & 1) {
        *hi = static_cast<std::uint8_t>(value >> 4);
      } else {
        *hi = static_cast<std::uint8_t>((*hi & 0xF0) | ((value >> 8) & 0x0F));
      }
      mark(offset + 1);
      return {};
    }
    case FatType::kFat16: {
      const std::uint64_t offset = std::uint64_t{cluster} * 2;
      FATFS_ASSIGN_OR_RETURN(p, page(offset / kPageSize));
      store_le16(p->bytes, offset % kPageSize, static_cast<std::uint16_t>(value));
      mark(offset);
      return {};
    }
    case FatType::kFat32: {
      const std::uint64_t offset = std::uint64_t{cluster} * 4;
      FATFS_ASSIGN_OR_RETURN(p, page(offset / kPageSize));
      // The top four bits are reserved and must be preserved.
      const std::uint32_t old = load_le32(p->bytes, offset % kPageSize);
      store_le32(p->bytes, offset % kPageSize, (old & 0xF0000000) | (value & 0x0FFFFFFF));
      mark(offset);
      return {};
    }
  }
  return fail(ErrorKind::kCorrupt, "unknown FAT type");
}

Result<std::optional<std::uint32_t>> FatTable::next(std::uint32_t cluster) {
  if (!layout_.valid_cluster(cluster)) {
    return fail(ErrorKind::kCorrupt, "a cluster chain refers to a cluster out of range");
  }
  FATFS_ASSIGN_OR_RETURN(value, get(cluster));
  if (value >= end_marker_min()) return std::optional<std::uint32_t>();
  if (layout_.valid_cluster(value)) return std::optional<std::uint32_t>(value);
  if (value == 0)
    return fail(ErrorKind::kCorrupt, "a cluster chain runs into a free cluster");
  if (value == end_marker_min() - 1) {
    return fail(ErrorKind::kCorrupt, "a cluster chain runs into a bad cluster");
  }
  return fail(ErrorKind::kCorrupt, "a cluster chain refers to a cluster out of range");
}

Result<void> FatTable::set_end(std::uint32_t cluster) {
  return set(cluster,
             layout_.type == FatType::kFat32 ? 0x0FFFFFFF : end_marker_min() | 7);
}

Result<void> FatTable::set_next(std::uint32_t cluster, std::uint32_t next) {
  return set(cluster, next);
}

Result<void> FatTable::set_free(std::uint32_t cluster) { return set(cluster, 0); }

Result<bool> FatTable::is_free(std::uint32_t cluster) {
  FATFS_ASSIGN_OR_RETURN(value, get(cluster));
  return value == 0;
}

Result<std::optional<std::uint32_t>> FatTable::find_free(std::uint32_t start) {
  const std::uint32_t first = 2;
  const std::uint32_t last = layout_.cluster_count + 1;
  if (start < first || start > last) start = first;
  for (std::uint32_t c = start; c <= last; ++c) {
    FATFS_ASSIGN_OR_RETURN(value, get(c));
    if (value == 0) return std::optional<std::uint32_t>(c);
  }
  for (std::uint32_t c = first; c < start; ++c) {
    FATFS_ASSIGN_OR_RETURN(value, get(c));
    if (value == 0) return std::optional<std::uint32_t>(c);
  }
  return std::optional<std::uint32_t>();
}

Result<std::uint32_t> FatTable::count_free() {
  std::uint32_t count = 0;
  for (std::uint32_t c = 2; c - 2 < layout_.cluster_count; ++c) {
    FATFS_ASSIGN_OR_RETURN(value, get(c));
    if (value == 0) ++count;
  }
  return count;
}

Result<std::uint64_t> FatTable::chain_length(std::uint32_t first, std::uint64_t limit) {
  // Brent's cycle detection: a loop is found within a small multiple of the
  // chain's length, so a looping chain costs no more than an honest one.
  std::uint32_t hare = first;
  std::uint32_t tortoise = first;
  std::uint64_t power = 1;
  std::uint64_t lambda = 0;
  std::uint64_t length = 1;
  if (!layout_.valid_cluster(first)) {
    return fail(ErrorKind::kCorrupt, "a cluster chain starts out of range");
  }
  while (length < limit) {
    FATFS_ASSIGN_OR_RETURN(next_cluster, next(hare));
    if (!next_cluster) return length;
    if (power == lambda) {
      tortoise = hare;
      power *= 2;
      lambda = 0;
    }
    hare = *next_cluster;
    ++lambda;
    ++length;
    if (hare == tortoise)
      return fail(ErrorKind::kCorrupt, "a cluster chain contains a loop");
  }
  return length;
}

Result<void> FatTable::write_page(std::uint64_t index, const Page& p,
                                  std::uint64_t base) {
  const std::uint64_t sector = layout_.bytes_per_sector;
  // Neighbouring changed sectors go out as one write.
  for (std::size_t i = 0; i < p.dirty.size();) {
    if (!p.dirty[i]) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < p.dirty.size() && p.dirty[j]) ++j;
    const std::uint64_t from = i * sector;
    const std::uint64_t to = std::min<std::uint64_t>(j * sector, p.bytes.size());
    FATFS_TRY(device_->write_at(base + index * kPageSize + from,
                                std::span(p.bytes).subspan(from, to - from)));
    i = j;
  }
  return {};
}

Result<void> FatTable::flush() {
  std::vector<std::uint64_t> dirty;
  for (const auto& [index, p] : pages_) {
    if (p.any_dirty) dirty.push_back(index);
  }
  std::sort(dirty.begin(), dirty.end());
  // The copy that is read goes first: a later copy never holds a chain the
  // first one does not.
  std::vector<std::uint32_t> copies{layout_.active_fat};
  for (std::uint32_t copy = 0; copy < layout_.fat_count; ++copy) {
    if (layout_.mirrored && copy != layout_.active_fat) copies.push_back(copy);
  }
  for (const std::uint32_t copy : copies) {
    for (const std::uint64_t index : dirty) {
      FATFS_TRY(write_page(index, pages_.at(index),
                           layout_.fat_offset + copy * layout_.fat_bytes));
    }
  }
  for (const std::uint64_t index : dirty) {
    Page& p = pages_.at(index);
    p.dirty.assign(p.dirty.size(), false);
    p.any_dirty = false;
  }
  return {};
}

}  // namespace fatfs
