#include "fatfs/volume.h"

#include <array>

#include "fatfs/fs_info.h"

namespace fatfs {

Result<std::unique_ptr<Volume>> Volume::mount(Stream& stream,
                                              const MountOptions& options) {
  FATFS_ASSIGN_OR_RETURN(device, Device::open(stream));
  std::array<std::uint8_t, kBootSectorSize> sector{};
  if (device.size() < sector.size()) {
    return fail(ErrorKind::kCorrupt, "the stream is too small to hold a FAT volume");
  }
  FATFS_TRY(device.read_at(0, sector));
  FATFS_ASSIGN_OR_RETURN(layout, parse_boot_sector(sector, device.size()));
  std::unique_ptr<Volume> volume(new Volume(device, layout, options));
  FATFS_ASSIGN_OR_RETURN(hints, read_fs_info(volume->device_, layout));
  volume->allocator_.emplace(volume->fat_, layout.cluster_count, hints.free_count,
                             hints.next_free);
  FATFS_ASSIGN_OR_RETURN(root, RootDirectory::load(volume->device_, volume->fat_,
                                                   *volume->allocator_, layout));
  volume->root_.emplace(std::move(root));
  return volume;
}

DosTimestamp Volume::now() const {
  const Clock& clock = options_.clock != nullptr ? *options_.clock : system_clock_;
  return to_dos(clock.now());
}

Result<void> Volume::flush() {
  // The FAT goes first so that no directory entry ever points at clusters
  // the FAT does not yet hold for it.
  FATFS_TRY(fat_.flush());
  FATFS_TRY(root_->flush());
  if (allocator_->changed()) {
    std::optional<std::uint32_t> free_count = allocator_->free_count();
    if (!free_count && layout_.type == FatType::kFat32) {
      FATFS_ASSIGN_OR_RETURN(counted, fat_.count_free());
      free_count = counted;
      allocator_->set_free_count(counted);
    }
    FATFS_TRY(write_fs_info(device_, layout_, free_count, allocator_->next_hint()));
    allocator_->hints_recorded();
  }
  return device_.flush();
}

}  // namespace fatfs
