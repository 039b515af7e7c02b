#include "fatfs/replace_file.h"

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace fatfs {
namespace {

std::uint64_t clusters_for(std::uint64_t bytes, std::uint64_t cluster_bytes) {
  return (bytes + cluster_bytes - 1) / cluster_bytes;
}

// The clusters of the chain from `first`, at most `limit` of them. Every
// link is checked (FatTable::next refuses free, reserved, bad and
// out-of-range values); a cluster met twice is a loop.
Result<std::vector<std::uint32_t>> walk_chain(FatTable& fat, std::uint32_t first,
                                              std::uint64_t limit) {
  std::vector<std::uint32_t> chain;
  std::unordered_set<std::uint32_t> seen;
  std::optional<std::uint32_t> cluster = first;
  while (cluster && chain.size() < limit) {
    if (!seen.insert(*cluster).second) {
      return fail(ErrorKind::kCorrupt, "the file's cluster chain contains a loop");
    }
    chain.push_back(*cluster);
    FATFS_ASSIGN_OR_RETURN(next, fat.next(*cluster));
    cluster = next;
  }
  if (cluster) {
    return fail(ErrorKind::kCorrupt,
                "the file's cluster chain is longer than its size needs; it may be "
                "cross-linked with another file");
  }
  return chain;
}

// The old chain of the entry at `index`, refused unless it is the file's
// alone: nothing of the root directory's chain or of another root entry's
// chain may be on it. Another entry's chain is followed only as far as it is
// sound; its own faults are not this file's to judge.
Result<std::vector<std::uint32_t>> owned_chain(Volume& volume, std::size_t index) {
  const VolumeLayout& layout = volume.layout();
  const bool fat32 = layout.type == FatType::kFat32;
  RootDirectory& root = volume.root();
  const DirEntry& entry = root.entry(index);
  const std::uint32_t first = entry.first_cluster(fat32);
  if (first == 0) {
    if (entry.size() != 0)
      return fail(ErrorKind::kCorrupt, "a non-empty file has no clusters");
    return std::vector<std::uint32_t>();
  }
  if (!layout.valid_cluster(first)) {
    return fail(ErrorKind::kCorrupt, "a file starts at a cluster out of range");
  }
  const std::uint64_t needed =
      std::max<std::uint64_t>(1, clusters_for(entry.size(), layout.bytes_per_cluster));
  FATFS_ASSIGN_OR_RETURN(chain, walk_chain(volume.fat(), first, needed));
  if (chain.size() < clusters_for(entry.size(), layout.bytes_per_cluster)) {
    return fail(ErrorKind::kCorrupt, "the file's size exceeds its cluster chain");
  }
  const std::unordered_set<std::uint32_t> own(chain.begin(), chain.end());
  for (const std::uint32_t cluster : root.clusters()) {
    if (own.contains(cluster)) {
      return fail(ErrorKind::kCorrupt,
                  "the file's cluster chain is cross-linked with the root directory");
    }
  }
  // A directory holds at most 65,536 entries of 32 bytes.
  const std::uint64_t directory_limit =
      clusters_for(RootDirectory::kMaxEntries * kDirEntrySize, layout.bytes_per_cluster);
  for (const RootDirectory::Item& item : root.items()) {
    if (item.index == index) continue;
    const DirEntry& other = root.entry(item.index);
    std::optional<std::uint32_t> cluster = other.first_cluster(fat32);
    if (*cluster == 0 || !layout.valid_cluster(*cluster)) continue;
    std::uint64_t limit =
        other.is_directory()
            ? directory_limit
            : std::max<std::uint64_t>(
                  1, clusters_for(other.size(), layout.bytes_per_cluster));
    for (; cluster && limit > 0; --limit) {
      if (own.contains(*cluster)) {
        return fail(ErrorKind::kCorrupt,
                    "the file's cluster chain is cross-linked with another root entry");
      }
      auto next = volume.fat().next(*cluster);
      if (!next) break;
      cluster = *next;
    }
  }
  return chain;
}

// One replacement in progress: the new chain it allocated, and what undoing
// it before the commit point takes.
class Replacement {
 public:
  Replacement(Volume& volume, const WriteControl& control)
      : volume_(volume), control_(control), hints_before_(volume.allocator()) {}

  // Allocates the new chain for `size` bytes; only the FAT in memory
  // changes.
  Result<void> allocate(std::uint64_t size) {
    const std::uint64_t count = clusters_for(size, volume_.layout().bytes_per_cluster);
    chain_.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
      FATFS_ASSIGN_OR_RETURN(
          cluster, volume_.allocator().allocate(chain_.empty() ? 0 : chain_.back()));
      if (chain_.empty()) first_ = cluster;
      chain_.push_back(cluster);
    }
    return {};
  }

  // Writes `data` into the new chain.
  Result<void> write_data(std::span<const std::uint8_t> data) {
    const VolumeLayout& layout = volume_.layout();
    // Neighbouring clusters go out as one write.
    std::uint64_t done = 0;
    for (std::size_t i = 0; i < chain_.size();) {
      std::size_t j = i + 1;
      while (j < chain_.size() && chain_[j] == chain_[j - 1] + 1) ++j;
      const std::uint64_t length =
          std::min<std::uint64_t>(data.size() - done, (j - i) * layout.bytes_per_cluster);
      FATFS_TRY(volume_.device().write_at(layout.cluster_offset(chain_[i]),
                                          data.subspan(done, length)));
      done += length;
      i = j;
    }
    return {};
  }

  // Data durable, then the chain in the FAT copies and FSInfo, durable.
  Result<void> record_chain() {
    FATFS_TRY(volume_.device().flush());
    FATFS_TRY(check_canceled());
    chain_recorded_ = true;
    return volume_.flush();
  }

  Result<void> check_canceled() const {
    if (control_.canceled && control_.canceled()) {
      return fail(ErrorKind::kCanceled, "the replacement was canceled");
    }
    return {};
  }

  // Writes the pending root entries from the highest 512-byte unit down, a
  // flush after each, so a new run of entries shows only when its first
  // unit (the one that held the old end marker or the first reused slot)
  // is written.
  Result<void> write_entries() {
    RootDirectory& root = volume_.root();
    while (const auto last = root.last_changed()) {
      const std::size_t unit = *last / RootDirectory::kEntriesPerWriteUnit;
      FATFS_TRY(root.flush_from(unit * RootDirectory::kEntriesPerWriteUnit));
      FATFS_TRY(volume_.device().flush());
    }
    committed_ = true;
    return {};
  }

  // Before the commit point: releases the new chain, writing the release
  // only when the chain was already recorded on the medium. The original
  // failure is what the caller learns; should the release fail too, the
  // new clusters are merely lost.
  std::unexpected<Error> abandon(Error error) {
    if (!committed_ && first_ != 0) {
      const bool freed = volume_.allocator().free_chain(first_).has_value();
      if (!chain_recorded_) {
        // Nothing reached the medium: the hints go back to what it records.
        volume_.allocator() = hints_before_;
      } else if (freed) {
        (void)volume_.flush();
      }
    }
    return std::unexpected(std::move(error));
  }

  std::uint32_t first() const { return first_; }

 private:
  Volume& volume_;
  const WriteControl& control_;
  const ClusterAllocator hints_before_;
  std::vector<std::uint32_t> chain_;
  std::uint32_t first_ = 0;
  bool chain_recorded_ = false;
  bool committed_ = false;
};

}  // namespace

Result<void> replace_root_file(Volume& volume, std::string_view name,
                               std::span<const std::uint8_t> data,
                               const WriteControl& control) {
  if (data.size() > 0xFFFFFFFFULL) {
    return fail(ErrorKind::kInvalidInput, "FAT files cannot reach 4 GiB");
  }
  // Earlier changes settle first, so that the order below concerns this
  // file alone.
  FATFS_TRY(volume.flush());
  RootDirectory& root = volume.root();
  const std::optional<RootDirectory::Item> item = root.find(name);
  std::vector<std::uint32_t> old_chain;
  if (item) {
    if (root.entry(item->index).is_directory())
      return fail(ErrorKind::kInvalidInput, "the name is a directory");
    FATFS_ASSIGN_OR_RETURN(chain, owned_chain(volume, item->index));
    old_chain = std::move(chain);
  }
  Replacement replacement(volume, control);
  FATFS_TRY(replacement.check_canceled());
  // The whole chain is allocated before the first write, and a new entry
  // that needs a new root cluster finds one free beside it: a volume too
  // full for the new content beside the old is refused with nothing written.
  auto allocated = replacement.allocate(data.size());
  if (allocated && !item && root.needs_growth(name)) {
    auto spare = volume.fat().find_free(2);
    if (!spare) {
      allocated = std::unexpected(spare.error());
    } else if (!*spare) {
      allocated = fail(ErrorKind::kNoSpace, "");
    }
  }
  if (!allocated) {
    if (allocated.error().kind == ErrorKind::kNoSpace) {
      allocated.error().text = "the volume has no room for the new content of \"" +
                               std::string(name) + "\" beside the old content";
    }
    return replacement.abandon(allocated.error());
  }
  if (auto written = replacement.write_data(data); !written)
    return replacement.abandon(written.error());
  if (auto recorded = replacement.record_chain(); !recorded)
    return replacement.abandon(recorded.error());
  if (auto canceled = replacement.check_canceled(); !canceled)
    return replacement.abandon(canceled.error());

  const DosTimestamp now = volume.now();
  if (item) {
    DirEntry entry = root.entry(item->index);
    entry.set_first_cluster(replacement.first());
    entry.set_size(static_cast<std::uint32_t>(data.size()));
    entry.set_modified(now);
    entry.set_attributes(entry.attributes() | attr::kArchive);
    root.update(item->index, entry);
  } else {
    DirEntry entry;
    entry.set_attributes(attr::kArchive);
    entry.set_created(now);
    entry.set_modified(now);
    entry.set_first_cluster(replacement.first());
    entry.set_size(static_cast<std::uint32_t>(data.size()));
    const std::size_t root_clusters = root.clusters().size();
    if (auto added = root.add(name, entry); !added)
      return replacement.abandon(added.error());
    if (root.clusters().size() != root_clusters) {
      // The root grew: its zeroed cluster, then the link to it, are durable
      // before any entry in it.
      if (auto grown = volume.device().flush(); !grown)
        return replacement.abandon(grown.error());
      if (auto linked = volume.fat().flush(); !linked)
        return replacement.abandon(linked.error());
      if (auto durable = volume.device().flush(); !durable)
        return replacement.abandon(durable.error());
    }
  }
  if (auto switched = replacement.write_entries(); !switched) {
    // The entry may or may not have reached the medium; either way the file
    // is whole, old or new, and the new chain stays allocated for it.
    return fail(
        switched.error().kind,
        "the new content may or may not have replaced the old: " + switched.error().text);
  }
  auto released = old_chain.empty() ? Result<void>()
                                    : volume.allocator().free_chain(old_chain.front());
  if (released) released = volume.flush();
  if (!released) {
    return fail(released.error().kind,
                "the new content is in place, but the old clusters could not be "
                "released: " +
                    released.error().text);
  }
  return {};
}

}  // namespace fatfs
