// ClusterAllocator: hands out free clusters and releases chains, keeping the
// free-cluster count and next-free hint that FAT32 records in its FSInfo
// sector. A count read from an untrusted volume is only a hint: allocation
// always consults the FAT itself. Not thread-safe; borrows the FatTable.
#ifndef RAVIK_FATFS_CLUSTER_ALLOCATOR_H_
#define RAVIK_FATFS_CLUSTER_ALLOCATOR_H_

#include <cstdint>
#include <optional>

#include "fatfs/error.h"
#include "fatfs/fat_table.h"

namespace fatfs {

class ClusterAllocator {
 public:
  // `free_count` is the recorded count if it is plausible, else nullopt.
  ClusterAllocator(FatTable& fat, std::uint32_t cluster_count,
                   std::optional<std::uint32_t> free_count, std::uint32_t next_hint);

  // A free cluster, marked as the end of its chain and linked after
  // `previous` unless `previous` is 0. kNoSpace when the volume is full; the
  // FAT is then unchanged.
  Result<std::uint32_t> allocate(std::uint32_t previous);
  // Frees `first` and every cluster after it.
  Result<void> free_chain(std::uint32_t first);
  // Makes `last` the end of its chain and frees the clusters after it.
  Result<void> cut_after(std::uint32_t last);

  // Whether the hints changed since they were last recorded.
  bool changed() const { return changed_; }
  void hints_recorded() { changed_ = false; }
  std::optional<std::uint32_t> free_count() const { return free_count_; }
  std::uint32_t next_hint() const { return next_hint_; }
  // Replaces an unknown or doubtful count with one counted from the FAT.
  void set_free_count(std::uint32_t count) { free_count_ = count; }

 private:
  void note_freed(std::uint32_t cluster);

  FatTable* fat_;  // Not owned; must outlive this.
  std::uint32_t cluster_count_;
  std::optional<std::uint32_t> free_count_;
  std::uint32_t next_hint_;
  bool changed_ = false;
};

}  // namespace fatfs

#endif  // RAVIK_FATFS_CLUSTER_ALLOCATOR_H_
