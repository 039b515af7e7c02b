#include "fatfs/cluster_allocator.h"

namespace fatfs {

ClusterAllocator::ClusterAllocator(FatTable& fat, std::uint32_t cluster_count,
                                   std::optional<std::uint32_t> free_count,
                                   std::uint32_t next_hint)
    : fat_(&fat),
      cluster_count_(cluster_count),
      free_count_(free_count),
      next_hint_(next_hint) {
  if (next_hint_ < 2 || next_hint_ - 2 >= cluster_count_) next_hint_ = 2;
}

Result<std::uint32_t> ClusterAllocator::allocate(std::uint32_t previous) {
  FATFS_ASSIGN_OR_RETURN(found, fat_->find_free(next_hint_));
  if (!found) return fail(ErrorKind::kNoSpace, "the volume has no free cluster left");
  const std::uint32_t cluster = *found;
  FATFS_TRY(fat_->set_end(cluster));
  if (previous != 0) FATFS_TRY(fat_->set_next(previous, cluster));
  changed_ = true;
  next_hint_ = cluster - 2 + 1 < cluster_count_ ? cluster + 1 : 2;
  if (free_count_) {
    // A recorded count that runs out while clusters are still free was wrong.
    free_count_ = *free_count_ > 0 ? std::optional(*free_count_ - 1) : std::nullopt;
  }
  return cluster;
}

void ClusterAllocator::note_freed(std::uint32_t cluster) {
  changed_ = true;
  if (free_count_) {
    free_count_ =
        *free_count_ < cluster_count_ ? std::optional(*free_count_ + 1) : std::nullopt;
  }
  if (cluster < next_hint_) next_hint_ = cluster;
}

Result<void> ClusterAllocator::free_chain(std::uint32_t first) {
  // Each step frees a cluster, so a looping chain ends at the first cluster
  // already freed (reported as corrupt) instead of running forever.
  std::optional<std::uint32_t> cluster = first;
  while (cluster) {
    FATFS_ASSIGN_OR_RETURN(next, fat_->next(*cluster));
    FATFS_TRY(fat_->set_free(*cluster));
    note_freed(*cluster);
    cluster = next;
  }
  return {};
}

Result<void> ClusterAllocator::cut_after(std::uint32_t last) {
  FATFS_ASSIGN_OR_RETURN(next, fat_->next(last));
  FATFS_TRY(fat_->set_end(last));
  changed_ = true;
  if (next) FATFS_TRY(free_chain(*next));
  return {};
}

}  // namespace fatfs
