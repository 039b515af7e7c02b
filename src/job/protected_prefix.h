// The part of an image the helper holds back until the rest is written and
// read back: the partition-table area, so that a write that fails half-way
// leaves a disk no system mistakes for a working one.
//
// Pure functions over the image's first bytes; thread-safe.
#ifndef RAVIK_JOB_PROTECTED_PREFIX_H_
#define RAVIK_JOB_PROTECTED_PREFIX_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "error/helper_error.h"

namespace ravik::job {

// Where the image's earliest partition starts, by its MBR or by the GPT
// behind a protective MBR, as far as `head` (the image's first bytes) shows
// it; 0 when `head` holds no partition table.
std::uint64_t first_partition_offset(std::span<const std::uint8_t> head);

// The default prefix of an image of `image_size` bytes whose first bytes are
// `head`: its first MiB, or up to its first partition when that starts later,
// at most what the helper holds back (16 MiB) and the image itself, rounded down to
// `block_size`.
std::uint64_t default_protected_prefix(std::span<const std::uint8_t> head,
                                       std::uint64_t image_size,
                                       std::uint64_t block_size);

// The first `limit` bytes of the image at `path` (fewer when it is shorter),
// decompressed.
Result<std::vector<std::uint8_t>> read_image_head(const std::string& path,
                                                  std::size_t limit);

}  // namespace ravik::job

#endif  // RAVIK_JOB_PROTECTED_PREFIX_H_
