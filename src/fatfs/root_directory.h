// RootDirectory: the root directory of a mounted volume held in memory (at
// most 65,536 entries, 2 MiB, as the FAT standard bounds a directory), with
// name lookup, entry creation with long names, and write-back of the entries
// that changed. FAT12/16 roots are the fixed region after the FATs; a FAT32
// root is a cluster chain that grows by a zeroed cluster when full. Not
// thread-safe; borrows the Device, FatTable and ClusterAllocator.
#ifndef RAVIK_FATFS_ROOT_DIRECTORY_H_
#define RAVIK_FATFS_ROOT_DIRECTORY_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fatfs/boot_sector.h"
#include "fatfs/cluster_allocator.h"
#include "fatfs/device.h"
#include "fatfs/dir_entry.h"
#include "fatfs/error.h"
#include "fatfs/fat_table.h"

namespace fatfs {

class RootDirectory {
 public:
  static constexpr std::size_t kMaxEntries = 65536;

  struct Item {
    std::size_t index = 0;  // of the short entry
    std::optional<std::u16string> long_name;
  };

  static Result<RootDirectory> load(Device& device, FatTable& fat,
                                    ClusterAllocator& allocator,
                                    const VolumeLayout& layout);

  // The file or directory named `name` (long or short name, ignoring ASCII
  // case); nullopt when there is none.
  std::optional<Item> find(std::string_view name) const;
  const std::vector<Item>& items() const { return items_; }
  // The label recorded in the root, if any.
  std::optional<ShortName> volume_label() const;

  const DirEntry& entry(std::size_t index) const { return entries_[index]; }
  // Replaces an entry; it is written back by the next flush.
  void update(std::size_t index, const DirEntry& entry);

  // Adds `short_entry` under `name`, preceded by long-name entries unless
  // `name` is a plain upper-case 8.3 name. The short name is chosen here.
  // Returns the index of the short entry. kNoSpace when the root is full.
  Result<std::size_t> add(std::string_view name, DirEntry short_entry);
  // Whether add(name, ...) would have to grow the root by a cluster.
  bool needs_growth(std::string_view name) const;
  // The entries add(name, ...) writes: the long-name entries and the short
  // one.
  static std::size_t entries_needed(std::string_view name);
  // kInvalidInput when the entries of `name` cannot share one write unit,
  // which add() refuses: they could not become visible in one write.
  static Result<void> check_fits_one_unit(std::string_view name);

  // Takes back the last add() while none of its entries is written: the
  // slots it changed get their old content back (a cluster it grew the root
  // by stays, empty). Nothing when there is none to take back.
  void abandon_add();

  Result<void> flush();
  // Writes the changed entries one write unit at a time, calling `barrier`
  // (which makes the writes so far durable) after each, in an order under
  // which the run of the last add() becomes visible only with the last
  // write: the unit that holds it is zeroed first when the run skipped slots
  // to start there, then every other changed unit goes out, highest first (the
  // end marker after the run, the slots skipped to reach the run's unit
  // turned into deleted entries), and the run's unit last.
  Result<void> flush_in_order(const std::function<Result<void>()>& barrier);
  // FAT32: the clusters of the root's chain, in order; empty otherwise.
  const std::vector<std::uint32_t>& clusters() const { return clusters_; }

  // Entries per 512 bytes: the smallest unit a device writes whole, so a run
  // of entries inside one such group reaches the medium in one piece.
  static constexpr std::size_t kEntriesPerWriteUnit = 16;

 private:
  RootDirectory(Device& device, FatTable& fat, ClusterAllocator& allocator,
                const VolumeLayout& layout)
      : device_(&device), fat_(&fat), allocator_(&allocator), layout_(layout) {}

  Result<void> read_entries();
  void index_items();
  // Where a run of `count` new entries goes: a run of deleted slots inside
  // one write unit, else after the end marker, inside one write unit.
  std::optional<std::size_t> find_free_run(std::size_t count) const;
  // update(), noted so that abandon_add() can take it back.
  void change(std::size_t index, const DirEntry& entry);
  // Writes the changed entries of [first, end); the others stay pending.
  Result<void> flush_range(std::size_t first, std::size_t end);
  Result<void> grow();
  std::uint64_t entry_offset(std::size_t index) const;
  std::size_t entries_per_cluster() const {
    return layout_.bytes_per_cluster / kDirEntrySize;
  }

  Device* device_;               // Not owned; must outlive this.
  FatTable* fat_;                // Not owned; must outlive this.
  ClusterAllocator* allocator_;  // Not owned; must outlive this.
  VolumeLayout layout_;
  std::vector<DirEntry> entries_;
  std::vector<bool> dirty_;
  // The write unit holding the run of the last add(), until it is written.
  std::optional<std::size_t> commit_unit_;
  bool zero_commit_unit_first_ = false;
  // What the last add() changed, until its entries are written.
  struct Undo {
    struct Slot {
      std::size_t index;
      DirEntry entry;
      bool dirty;
    };
    bool pending = false;
    std::size_t end = 0;
    std::vector<Slot> slots;
  };
  Undo undo_;
  std::vector<std::uint32_t> clusters_;  // FAT32 only
  std::size_t end_ = 0;                  // index of the first never-used entry
  std::vector<Item> items_;
};

}  // namespace fatfs

#endif  // RAVIK_FATFS_ROOT_DIRECTORY_H_
