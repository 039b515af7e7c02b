// The check that a file's cluster chain is its own before it is freed:
// every other chain of the volume (the FAT32 root's, and those of every file
// and directory in every directory, at any depth) is walked and must not
// meet it. The walk is bounded: at most as many links as the volume has
// clusters, which a volume without cross-links never exceeds; a chain that
// loops, or a directory that contains one of its ancestors, is refused.
// Internal to the library; not thread-safe.
#ifndef RAVIK_FATFS_CHAIN_CENSUS_H_
#define RAVIK_FATFS_CHAIN_CENSUS_H_

#include <cstddef>
#include <cstdint>
#include <unordered_set>

#include "fatfs/error.h"
#include "fatfs/volume.h"

namespace fatfs {

// kCorrupt when a chain other than that of the root entry at `index` holds a
// cluster of `own`, loops, or when the walk exceeds its bound. Another
// chain is followed only as far as its links are sound: where it runs into
// a free, reserved or out-of-range value it ends, since its own faults are
// not this file's to judge.
Result<void> check_chain_unshared(Volume& volume, std::size_t index,
                                  const std::unordered_set<std::uint32_t>& own);

}  // namespace fatfs

#endif  // RAVIK_FATFS_CHAIN_CENSUS_H_
