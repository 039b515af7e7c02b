#include "fatfs/chain_census.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "fatfs/dir_entry.h"

namespace fatfs {
namespace {

class ChainCensus {
 public:
  ChainCensus(Volume& volume, const std::unordered_set<std::uint32_t>& own)
      : volume_(volume),
        layout_(volume.layout()),
        own_(own),
        links_left_(volume.layout().cluster_count) {}

  // Walks the chain from `first`, refusing it where it meets the file's own
  // clusters; the directory clusters it passes are appended to `clusters`
  // when given.
  Result<void> walk(std::uint32_t first, std::string_view holder,
                    std::vector<std::uint32_t>* clusters) {
    // Brent's cycle detection: a loop is found within a few times its
    // length, with no memory per cluster.
    std::uint32_t mark = first;
    std::uint64_t power = 1;
    std::uint64_t steps = 0;
    std::optional<std::uint32_t> cluster = first;
    while (cluster) {
      if (links_left_ == 0) {
        return fail(ErrorKind::kCorrupt,
                    "the volume's cluster chains are longer than the volume holds "
                    "clusters; they overlap");
      }
      --links_left_;
      if (own_.contains(*cluster)) {
        return fail(
            ErrorKind::kCorrupt,
            "the file's cluster chain is cross-linked with " + std::string(holder));
      }
      if (clusters != nullptr) clusters->push_back(*cluster);
      auto next = volume_.fat().next(*cluster);
      if (!next) {
        if (next.error().kind == ErrorKind::kCorrupt) break;
        return std::unexpected(std::move(next).error());
      }
      cluster = *next;
      if (!cluster) break;
      if (*cluster == mark) {
        return fail(ErrorKind::kCorrupt, "a cluster chain of the volume loops");
      }
      if (++steps == power) {
        mark = *cluster;
        power *= 2;
        steps = 0;
      }
    }
    return {};
  }

  // Checks every entry of the root except the file's own, then every
  // directory found, breadth first.
  Result<void> run(std::size_t index) {
    const bool fat32 = layout_.type == FatType::kFat32;
    RootDirectory& root = volume_.root();
    if (fat32) directories_.insert(layout_.root_cluster);
    for (const RootDirectory::Item& item : root.items()) {
      if (item.index == index) continue;
      FATFS_TRY(visit(root.entry(item.index), "another root entry"));
    }
    while (!pending_.empty()) {
      const std::uint32_t first = pending_.front();
      pending_.pop_front();
      std::vector<std::uint32_t> clusters;
      FATFS_TRY(walk(first, "a directory", &clusters));
      FATFS_TRY(scan(clusters));
    }
    return {};
  }

 private:
  Result<void> visit(const DirEntry& entry, std::string_view holder) {
    const std::uint32_t first = entry.first_cluster(layout_.type == FatType::kFat32);
    if (!layout_.valid_cluster(first)) return {};
    if (!entry.is_directory()) return walk(first, holder, nullptr);
    if (!directories_.insert(first).second) {
      return fail(ErrorKind::kCorrupt, "a directory of the volume contains itself");
    }
    pending_.push_back(first);
    return {};
  }

  // The entries of one directory, up to its end marker.
  Result<void> scan(const std::vector<std::uint32_t>& clusters) {
    std::vector<std::uint8_t> bytes(layout_.bytes_per_cluster);
    for (const std::uint32_t cluster : clusters) {
      FATFS_TRY(volume_.device().read_at(layout_.cluster_offset(cluster), bytes));
      for (std::size_t at = 0; at + kDirEntrySize <= bytes.size(); at += kDirEntrySize) {
        const DirEntry entry{std::span(bytes).subspan(at, kDirEntrySize)};
        if (entry.is_end()) return {};
        // "." and ".." name the directory itself and its parent.
        if (entry.is_deleted() || entry.is_long_name() || entry.is_volume_label() ||
            entry.bytes()[0] == '.') {
          continue;
        }
        FATFS_TRY(visit(entry, "an entry of a subdirectory"));
      }
    }
    return {};
  }

  Volume& volume_;
  const VolumeLayout& layout_;
  const std::unordered_set<std::uint32_t>& own_;
  std::uint64_t links_left_;
  std::unordered_set<std::uint32_t> directories_;  // first clusters seen
  std::deque<std::uint32_t> pending_;
};

}  // namespace

Result<void> check_chain_unshared(Volume& volume, std::size_t index,
                                  const std::unordered_set<std::uint32_t>& own) {
  return ChainCensus(volume, own).run(index);
}

}  // namespace fatfs
