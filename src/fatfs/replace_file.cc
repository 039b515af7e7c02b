#include "fatfs/replace_file.h"

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "fatfs/chain_census.h"

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
// alone: nothing of the root directory's chain or of any other chain of the
// volume, in any directory, may be on it.
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
  FATFS_TRY(check_chain_unshared(volume, index, own));
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
    return for_each_run(
        data.size(), [&](std::uint64_t offset, std::uint64_t done, std::uint64_t length) {
          return volume_.device().write_at(offset, data.subspan(done, length));
        });
  }

  // Data durable and read back as written, then the chain in the FAT copies
  // and FSInfo, durable. A medium that acknowledges writes it does not keep
  // (a failing or counterfeit stick) is caught here, before anything refers
  // to the new clusters.
  Result<void> record_chain(std::span<const std::uint8_t> data) {
    FATFS_TRY(volume_.device().flush());
    std::vector<std::uint8_t> stored(data.size());
    FATFS_TRY(for_each_run(data.size(), [&](std::uint64_t offset, std::uint64_t done,
                                            std::uint64_t length) {
      return volume_.device().read_at(offset, std::span(stored).subspan(done, length));
    }));
    if (!std::ranges::equal(stored, data)) {
      return fail(ErrorKind::kIo,
                  "the new content read back from the medium differs from what was "
                  "written; the medium does not keep what it acknowledges");
    }
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

  // Writes the pending root entries one 512-byte unit at a time, a flush
  // after each, so that a new file's entries show only with the one write
  // of the unit that holds them all.
  Result<void> write_entries() {
    FATFS_TRY(volume_.root().flush_in_order([this] { return volume_.device().flush(); }));
    committed_ = true;
    return {};
  }

  // Before the commit point: releases the new chain, writing the release
  // only when the chain was already recorded on the medium. The original
  // failure is what the caller learns; should the release fail too, the
  // new clusters are merely lost.
  std::unexpected<Error> abandon(Error error) {
    // The new entries must not reach the medium with the release below.
    if (!committed_) volume_.root().abandon_add();
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
  // Calls `io` (device offset, offset in the content, length) for each run
  // of neighbouring clusters of the new chain, so that each run is one
  // transfer, covering `size` bytes.
  template <class Io>
  Result<void> for_each_run(std::uint64_t size, const Io& io) {
    const VolumeLayout& layout = volume_.layout();
    std::uint64_t done = 0;
    for (std::size_t i = 0; i < chain_.size();) {
      std::size_t j = i + 1;
      while (j < chain_.size() && chain_[j] == chain_[j - 1] + 1) ++j;
      const std::uint64_t length =
          std::min<std::uint64_t>(size - done, (j - i) * layout.bytes_per_cluster);
      FATFS_TRY(io(layout.cluster_offset(chain_[i]), done, length));
      done += length;
      i = j;
    }
    return {};
  }

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
  } else {
    FATFS_TRY(RootDirectory::check_fits_one_unit(name));
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
  if (auto recorded = replacement.record_chain(data); !recorded)
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
