// The FAT file-system library: mount FAT12/16/32 volumes on a caller's
// Stream, open and create files in the root directory, read, write, seek,
// truncate and flush them, unmount with all metadata written, and format a
// stream as FAT32. Every operation returns Result<T>; nothing throws.
// Thread-compatible: each FileSystem and its files belong to one thread at a
// time. This header gathers the public interface:
//
//   fatfs::FileStream image = ...;                 // or your own Stream
//   auto fs = fatfs::FileSystem::mount(image);
//   auto file = fs->root_dir().create_file("config.txt");
//   ... file->write(bytes); file->flush(); fs->unmount();
#ifndef RAVIK_FATFS_FATFS_H_
#define RAVIK_FATFS_FATFS_H_

#include "fatfs/clock.h"
#include "fatfs/error.h"
#include "fatfs/fat_type.h"
#include "fatfs/file.h"
#include "fatfs/file_stream.h"
#include "fatfs/file_system.h"
#include "fatfs/format.h"
#include "fatfs/memory_stream.h"
#include "fatfs/mount_options.h"
#include "fatfs/short_name.h"
#include "fatfs/stream.h"

#endif  // RAVIK_FATFS_FATFS_H_
