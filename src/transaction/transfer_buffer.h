// Buffers that carry image and target bytes between the source, the hasher
// and the held device. They start on a page boundary (or on a block boundary
// for blocks larger than a page), so a device opened for direct I/O transfers
// them as they are instead of copying them through a bounce buffer.
#ifndef RAVIK_TRANSACTION_TRANSFER_BUFFER_H_
#define RAVIK_TRANSACTION_TRANSFER_BUFFER_H_

#include <cstddef>
#include <cstdint>

#include "error/helper_error.h"
#include "platform/aligned_buffer.h"

namespace ravik {

// The alignment of transfer buffers for a device with this logical block
// size: a page, or the block when it is larger (up to 1 MiB; beyond that the
// device's own bounce buffer takes over).
std::size_t transfer_alignment(std::uint64_t block_size);

// An uninitialised transfer buffer of at least `size` bytes. UNKNOWN when
// the memory cannot be had.
Result<AlignedBuffer> allocate_transfer_buffer(std::uint64_t block_size,
                                               std::size_t size);

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_TRANSFER_BUFFER_H_
