// Buffers that carry image and target bytes between the source, the hasher
// and the held device. They start on a page boundary (or on a block boundary
// for blocks larger than a page), so a device opened for direct I/O transfers
// them as they are instead of copying them through a bounce buffer.
//
// Fresh memory costs a page fault per page the first time it is touched, so
// a held transaction keeps its transfer buffers in a TransferBufferPool from
// one operation to the next (the image write's ring, its readbacks, then
// every verification). Large buffers ask the system for huge pages where it
// offers them on request: direct I/O and the copies from the image pipe
// handle memory page by page, and with 2 MiB pages the helper spends about
// an eighth less CPU time on an image write and verification, which makes
// it a fifth faster on a device that takes 1 GB/s.
#ifndef RAVIK_TRANSACTION_TRANSFER_BUFFER_H_
#define RAVIK_TRANSACTION_TRANSFER_BUFFER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

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

// Transfer buffers kept between the operations of one owner. Memory stays
// bounded: at most kKeptBuffers are kept while none is lent, and a loan
// holds only what it asked for. Not thread-safe: buffers are taken and given
// back on one thread (a loan's memory may be used by other threads in
// between). Leases must end before the pool does, and the pool must not be
// moved while one is out.
class TransferBufferPool {
 public:
  static constexpr std::size_t kKeptBuffers = 4;

  // Buffers lent by take(); they go back to the pool when the loan ends.
  class Loan {
   public:
    // No buffers.
    Loan() = default;
    Loan(Loan&& other) noexcept;
    Loan& operator=(Loan&& other) noexcept;
    Loan(const Loan&) = delete;
    Loan& operator=(const Loan&) = delete;
    ~Loan();

    std::size_t size() const { return buffers_.size(); }
    std::span<std::uint8_t> operator[](std::size_t index) const {
      return buffers_[index].span();
    }

   private:
    friend class TransferBufferPool;
    explicit Loan(TransferBufferPool& pool) : pool_(&pool) {}

    TransferBufferPool* pool_ = nullptr;  // Not owned; must outlive this.
    std::vector<AlignedBuffer> buffers_;
  };

  // Buffers are allocated with at least `least_bytes`, so that the owner's
  // different uses (each asking for what it needs) can share them.
  explicit TransferBufferPool(std::size_t least_bytes = 0) : least_bytes_(least_bytes) {}

  // `count` buffers of at least `size` bytes each, aligned for a device with
  // this logical block size: kept ones where they fit, fresh ones for the
  // rest. UNKNOWN when the memory cannot be had (nothing is lent then).
  Result<Loan> take(std::size_t count, std::uint64_t block_size, std::size_t size);

 private:
  void keep(std::vector<AlignedBuffer>& buffers);

  std::size_t least_bytes_;
  std::array<AlignedBuffer, kKeptBuffers> kept_;  // empty ones are free places
};

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_TRANSFER_BUFFER_H_
