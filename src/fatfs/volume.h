// Volume: the state of one mounted FAT volume shared by the FileSystem and
// its open files: the stream, the validated layout, the FAT, the allocator
// and the root directory. Lives on the heap at a fixed address so that files
// can point at it. Internal to the library; not thread-safe.
#ifndef RAVIK_FATFS_VOLUME_H_
#define RAVIK_FATFS_VOLUME_H_

#include <memory>
#include <optional>

#include "fatfs/boot_sector.h"
#include "fatfs/clock.h"
#include "fatfs/cluster_allocator.h"
#include "fatfs/device.h"
#include "fatfs/error.h"
#include "fatfs/fat_table.h"
#include "fatfs/mount_options.h"
#include "fatfs/root_directory.h"
#include "fatfs/stream.h"

namespace fatfs {

class Volume {
 public:
  static Result<std::unique_ptr<Volume>> mount(Stream& stream,
                                               const MountOptions& options);

  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  Device& device() { return device_; }
  const VolumeLayout& layout() const { return layout_; }
  FatTable& fat() { return fat_; }
  ClusterAllocator& allocator() { return *allocator_; }
  RootDirectory& root() { return *root_; }
  const MountOptions& options() const { return options_; }
  DosTimestamp now() const;

  // Writes the FAT, the changed directory entries and the FSInfo hints, then
  // flushes the stream.
  Result<void> flush();

 private:
  Volume(Device device, const VolumeLayout& layout, const MountOptions& options)
      : device_(device), layout_(layout), fat_(device_, layout_), options_(options) {}

  Device device_;
  VolumeLayout layout_;
  FatTable fat_;
  std::optional<ClusterAllocator> allocator_;
  std::optional<RootDirectory> root_;
  MountOptions options_;
  SystemClock system_clock_;
};

}  // namespace fatfs

#endif  // RAVIK_FATFS_VOLUME_H_
