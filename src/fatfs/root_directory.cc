#include "fatfs/root_directory.h"

#include <algorithm>
#include <set>
#include <string>

#include "fatfs/long_name.h"
#include "fatfs/short_name.h"

namespace fatfs {

Result<RootDirectory> RootDirectory::load(Device& device, FatTable& fat,
                                          ClusterAllocator& allocator,
                                          const VolumeLayout& layout) {
  RootDirectory root(device, fat, allocator, layout);
  FATFS_TRY(root.read_entries());
  root.index_items();
  return root;
}

Result<void> RootDirectory::read_entries() {
  std::vector<std::uint8_t> raw;
  if (layout_.type != FatType::kFat32) {
    raw.resize(static_cast<std::size_t>(layout_.root_entries) * kDirEntrySize);
    FATFS_TRY(device_->read_at(layout_.root_offset, raw));
  } else {
    const std::uint64_t max_clusters =
        std::max<std::uint64_t>(1, kMaxEntries / entries_per_cluster());
    FATFS_ASSIGN_OR_RETURN(length,
                           fat_->chain_length(layout_.root_cluster, max_clusters + 1));
    if (length > max_clusters) {
      return fail(ErrorKind::kCorrupt,
                  "the root directory is longer than 65,536 entries");
    }
    raw.resize(length * layout_.bytes_per_cluster);
    std::optional<std::uint32_t> cluster = layout_.root_cluster;
    for (std::uint64_t i = 0; i < length && cluster; ++i) {
      clusters_.push_back(*cluster);
      FATFS_TRY(device_->read_at(layout_.cluster_offset(*cluster),
                                 std::span(raw).subspan(i * layout_.bytes_per_cluster,
                                                        layout_.bytes_per_cluster)));
      FATFS_ASSIGN_OR_RETURN(next, fat_->next(*cluster));
      cluster = next;
    }
  }
  const std::size_t count = raw.size() / kDirEntrySize;
  entries_.reserve(count);
  end_ = count;
  for (std::size_t i = 0; i < count; ++i) {
    entries_.emplace_back(std::span(raw).subspan(i * kDirEntrySize, kDirEntrySize));
    if (end_ == count && entries_.back().is_end()) end_ = i;
    // Whatever lies after the end marker is free space, not entries.
    if (i >= end_) entries_.back() = DirEntry();
  }
  dirty_.assign(count, false);
  return {};
}

void RootDirectory::index_items() {
  LongNameDecoder decoder;
  for (std::size_t i = 0; i < end_; ++i) {
    const DirEntry& e = entries_[i];
    if (e.is_deleted()) {
      decoder.reset();
    } else if (e.is_long_name()) {
      decoder.feed(e);
    } else if (e.is_volume_label()) {
      decoder.reset();
    } else {
      std::optional<std::u16string> long_name = decoder.finish(e);
      const std::string short_name = e.display_short_name();
      if (short_name == "." || short_name == "..") continue;
      items_.push_back(Item{i, std::move(long_name)});
    }
  }
}

std::optional<RootDirectory::Item> RootDirectory::find(std::string_view name) const {
  for (const Item& item : items_) {
    if (item.long_name && long_name_matches(*item.long_name, name)) return item;
    if (ascii_iequal(entries_[item.index].display_short_name(), name)) return item;
  }
  return std::nullopt;
}

std::optional<ShortName> RootDirectory::volume_label() const {
  for (std::size_t i = 0; i < end_; ++i) {
    const DirEntry& e = entries_[i];
    if (!e.is_deleted() && e.is_volume_label()) return e.short_name();
  }
  return std::nullopt;
}

void RootDirectory::update(std::size_t index, const DirEntry& entry) {
  entries_[index] = entry;
  dirty_[index] = true;
}

void RootDirectory::change(std::size_t index, const DirEntry& entry) {
  undo_.slots.push_back({index, entries_[index], dirty_[index]});
  update(index, entry);
}

void RootDirectory::abandon_add() {
  if (!undo_.pending) return;
  for (auto slot = undo_.slots.rbegin(); slot != undo_.slots.rend(); ++slot) {
    entries_[slot->index] = slot->entry;
    dirty_[slot->index] = slot->dirty;
  }
  end_ = undo_.end;
  items_.pop_back();
  undo_ = Undo();
  commit_unit_.reset();
  zero_commit_unit_first_ = false;
}

std::optional<std::size_t> RootDirectory::find_free_run(std::size_t count) const {
  // Every run lies inside one write unit, so that it reaches the medium, and
  // becomes visible, in one write: a run split over two units could be seen
  // half written (long-name fragments, or a short entry without its long
  // name) after a power cut.
  if (count > kEntriesPerWriteUnit) return std::nullopt;
  std::size_t run = 0;
  for (std::size_t i = 0; i < end_; ++i) {
    run = entries_[i].is_deleted() && i % kEntriesPerWriteUnit != 0 ? run + 1
          : entries_[i].is_deleted()                                ? 1
                                                                    : 0;
    if (run >= count) return i + 1 - count;
  }
  // After the end marker: where it is, or else at the start of the next
  // unit, the slots in between then becoming deleted entries.
  std::size_t start = end_;
  if (start / kEntriesPerWriteUnit != (start + count - 1) / kEntriesPerWriteUnit) {
    start = (start / kEntriesPerWriteUnit + 1) * kEntriesPerWriteUnit;
  }
  if (start + count <= entries_.size()) return start;
  return std::nullopt;
}

Result<void> RootDirectory::grow() {
  if (layout_.type != FatType::kFat32 ||
      entries_.size() + entries_per_cluster() > kMaxEntries) {
    return fail(ErrorKind::kNoSpace, "the root directory is full");
  }
  FATFS_ASSIGN_OR_RETURN(cluster, allocator_->allocate(clusters_.back()));
  // A new directory cluster must read as empty, whatever it held before.
  FATFS_TRY(device_->zero_at(layout_.cluster_offset(cluster), layout_.bytes_per_cluster));
  clusters_.push_back(cluster);
  entries_.resize(entries_.size() + entries_per_cluster());
  dirty_.resize(entries_.size(), false);
  return {};
}

std::size_t RootDirectory::entries_needed(std::string_view name) {
  return plain_short_name(name) ? 1 : encode_long_name(name, 0).size() + 1;
}

bool RootDirectory::needs_growth(std::string_view name) const {
  return !find_free_run(entries_needed(name));
}

Result<std::size_t> RootDirectory::add(std::string_view name, DirEntry short_entry) {
  undo_ = Undo();
  FATFS_TRY(check_fits_one_unit(name));
  const std::optional<ShortName> plain = plain_short_name(name);
  std::optional<ShortName> alias = plain;
  if (!alias) {
    // One set per call keeps a crowded directory (up to 65,536 aliases, each
    // probed) from costing a quadratic number of comparisons.
    std::set<ShortName> taken;
    for (const Item& item : items_) taken.insert(entries_[item.index].short_name());
    alias =
        generate_short_name(name, [&](const ShortName& n) { return taken.count(n) > 0; });
    if (!alias)
      return fail(ErrorKind::kNoSpace, "no unused short name is left for the file");
  }
  short_entry.set_short_name(*alias);
  std::vector<DirEntry> run;
  if (!plain) run = encode_long_name(name, short_name_checksum(*alias));
  run.push_back(short_entry);

  std::optional<std::size_t> start = find_free_run(run.size());
  while (!start) {
    FATFS_TRY(grow());
    start = find_free_run(run.size());
  }
  undo_ = Undo{.pending = true, .end = end_, .slots = {}};
  for (std::size_t i = 0; i < run.size(); ++i) change(*start + i, run[i]);
  commit_unit_ = *start / kEntriesPerWriteUnit;
  zero_commit_unit_first_ = false;
  if (*start >= end_) {
    if (*start > end_) {
      // The slots skipped to reach the run's unit turn into deleted entries
      // before the run is written, which moves the end marker into that
      // unit: it must read as free on the medium by then, whatever bytes
      // were left there beyond the old marker.
      DirEntry deleted;
      deleted.mark_deleted();
      for (std::size_t i = end_; i < *start; ++i) change(i, deleted);
      zero_commit_unit_first_ = true;
    }
    end_ = *start + run.size();
    // The entry after the new last one is the end marker; it may hold stale
    // bytes on disk beyond the old marker.
    if (end_ < entries_.size()) change(end_, DirEntry());
  }
  const std::size_t index = *start + run.size() - 1;
  Item item;
  item.index = index;
  if (!plain) item.long_name.emplace(name.begin(), name.end());
  items_.push_back(std::move(item));
  return index;
}

std::uint64_t RootDirectory::entry_offset(std::size_t index) const {
  if (layout_.type != FatType::kFat32) return layout_.root_offset + index * kDirEntrySize;
  return layout_.cluster_offset(clusters_[index / entries_per_cluster()]) +
         (index % entries_per_cluster()) * kDirEntrySize;
}

Result<void> RootDirectory::check_fits_one_unit(std::string_view name) {
  const std::size_t count = entries_needed(name);
  if (count > kEntriesPerWriteUnit) {
    return fail(ErrorKind::kInvalidInput,
                "the name \"" + std::string(name) + "\" needs " + std::to_string(count) +
                    " directory entries, more than one 512-byte sector holds (" +
                    std::to_string(kEntriesPerWriteUnit) +
                    "), so it could not appear in one write; use a name of at most " +
                    std::to_string((kEntriesPerWriteUnit - 1) * 13) + " characters");
  }
  return {};
}

Result<void> RootDirectory::flush() {
  undo_ = Undo();
  commit_unit_.reset();
  return flush_range(0, entries_.size());
}

Result<void> RootDirectory::flush_in_order(const std::function<Result<void>()>& barrier) {
  const std::optional<std::size_t> commit = commit_unit_;
  commit_unit_.reset();
  undo_ = Undo();
  if (commit && zero_commit_unit_first_) {
    zero_commit_unit_first_ = false;
    FATFS_TRY(device_->zero_at(entry_offset(*commit * kEntriesPerWriteUnit),
                               kEntriesPerWriteUnit * kDirEntrySize));
    FATFS_TRY(barrier());
  }
  for (std::size_t unit = entries_.size() / kEntriesPerWriteUnit; unit > 0; --unit) {
    const std::size_t first = (unit - 1) * kEntriesPerWriteUnit;
    if (unit - 1 == commit ||
        std::none_of(
            dirty_.begin() + static_cast<std::ptrdiff_t>(first),
            dirty_.begin() + static_cast<std::ptrdiff_t>(first + kEntriesPerWriteUnit),
            [](bool d) { return d; })) {
      continue;
    }
    FATFS_TRY(flush_range(first, first + kEntriesPerWriteUnit));
    FATFS_TRY(barrier());
  }
  if (commit) {
    FATFS_TRY(flush_range(*commit * kEntriesPerWriteUnit,
                          (*commit + 1) * kEntriesPerWriteUnit));
    FATFS_TRY(barrier());
  }
  return {};
}

Result<void> RootDirectory::flush_range(std::size_t first, std::size_t end) {
  std::vector<std::uint8_t> buffer;
  for (std::size_t i = first; i < end;) {
    if (!dirty_[i]) {
      ++i;
      continue;
    }
    // Runs of changed entries inside one cluster go out in one write.
    std::size_t j = i;
    buffer.clear();
    do {
      const auto bytes = entries_[j].bytes();
      buffer.insert(buffer.end(), bytes.begin(), bytes.end());
      ++j;
    } while (j < end && dirty_[j] &&
             (layout_.type != FatType::kFat32 || j % entries_per_cluster() != 0));
    FATFS_TRY(device_->write_at(entry_offset(i), buffer));
    std::fill(dirty_.begin() + i, dirty_.begin() + j, false);
    i = j;
  }
  return {};
}

}  // namespace fatfs
