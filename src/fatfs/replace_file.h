// Whole-file replacement in the root directory by copy-on-write, ordered so
// that a power cut at any instant leaves either the old file or the new one,
// whole, plus at worst clusters no entry refers to (which fsck reclaims):
//
//   1. The new content goes to free clusters the old file does not use, the
//      stream is flushed and the content is read back and compared: the
//      data is durable, and is what was written, before anything refers to
//      it (a mismatch is kIo and leaves the old file).
//   2. The new chain goes into the first FAT, then the other copies and the
//      FSInfo hints; flushed.
//   3. The commit point: the directory entry is switched (start cluster,
//      size, modification time) in one write of its 512-byte unit and
//      flushed. A new file's entries are written from the highest unit down,
//      so the run becomes visible only with the unit holding its first entry.
//   4. Only then are the old clusters freed; flushed.
//
// Everything that can refuse the replacement does so before the first write:
// room for the new content beside the old (kNoSpace), an old chain that is
// not the file's alone (kCorrupt: it meets the root directory or any other
// chain of the volume, in any directory, runs into a free, reserved or bad
// value, or loops; see chain_census.h), and new entries that cannot share
// one 512-byte unit (kInvalidInput).
// Internal to the library; not thread-safe.
#ifndef RAVIK_FATFS_REPLACE_FILE_H_
#define RAVIK_FATFS_REPLACE_FILE_H_

#include <cstdint>
#include <span>
#include <string_view>

#include "fatfs/error.h"
#include "fatfs/file_system.h"
#include "fatfs/volume.h"

namespace fatfs {

Result<void> replace_root_file(Volume& volume, std::string_view name,
                               std::span<const std::uint8_t> data,
                               const WriteControl& control);

}  // namespace fatfs

#endif  // RAVIK_FATFS_REPLACE_FILE_H_
