// FatTable: the file allocation table of a mounted volume, read and written
// through a bounded page cache so that memory stays small even for the
// largest FATs. Entries are read from one copy and written to every copy in
// use when the table is flushed: first every changed sector of the first
// copy, then of the others, so that a writer can order the copies against
// its data with the stream's flush. Only the sectors that changed are
// written. Chain walks check every link against the volume's cluster range.
// Not thread-safe; borrows the Device.
#ifndef RAVIK_FATFS_FAT_TABLE_H_
#define RAVIK_FATFS_FAT_TABLE_H_

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "fatfs/boot_sector.h"
#include "fatfs/device.h"
#include "fatfs/error.h"

namespace fatfs {

class FatTable {
 public:
  // At most this many bytes of the FAT are cached at once.
  static constexpr std::uint64_t kCacheBudget = 16 << 20;

  FatTable(Device& device, const VolumeLayout& layout);

  // The successor of `cluster`: another cluster, or nullopt at the end of
  // the chain. A free, bad, reserved or out-of-range link is kCorrupt.
  Result<std::optional<std::uint32_t>> next(std::uint32_t cluster);
  // Marks `cluster` as the last of its chain.
  Result<void> set_end(std::uint32_t cluster);
  Result<void> set_next(std::uint32_t cluster, std::uint32_t next);
  Result<void> set_free(std::uint32_t cluster);
  Result<bool> is_free(std::uint32_t cluster);

  // The first free cluster at or after `start`, wrapping around once;
  // nullopt when the volume is full.
  Result<std::optional<std::uint32_t>> find_free(std::uint32_t start);
  Result<std::uint32_t> count_free();

  // Number of clusters in the chain from `first`; a chain that loops is
  // kCorrupt. Stops counting (and returns `limit`) once `limit` is reached.
  Result<std::uint64_t> chain_length(std::uint32_t first, std::uint64_t limit);

  // Writes the changed sectors to every FAT copy in use.
  Result<void> flush();

 private:
  struct Page {
    std::vector<std::uint8_t> bytes;
    std::vector<bool> dirty;  // by sector of the page
    bool any_dirty = false;
  };
  static constexpr std::uint64_t kPageSize = 16384;

  Result<std::uint32_t> get(std::uint32_t cluster);
  Result<void> set(std::uint32_t cluster, std::uint32_t value);
  Result<Page*> page(std::uint64_t index);
  Result<std::uint8_t*> byte(std::uint64_t offset);
  // Notes that the byte at `offset` of the page last looked up changed.
  void mark(std::uint64_t offset);
  Result<void> write_page(std::uint64_t index, const Page& page, std::uint64_t base);
  std::uint32_t end_marker_min() const;

  Device* device_;  // Not owned; must outlive this.
  VolumeLayout layout_;
  std::unordered_map<std::uint64_t, Page> pages_;
  std::uint64_t last_index_ = 0;
  Page* last_page_ = nullptr;
};

}  // namespace fatfs

#endif  // RAVIK_FATFS_FAT_TABLE_H_
