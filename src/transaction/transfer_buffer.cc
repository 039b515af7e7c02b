#include "transaction/transfer_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <utility>

namespace ravik {
namespace {

constexpr std::size_t kPageBytes = 4096;
constexpr std::uint64_t kLargestAlignedBlock = 1'048'576;
// The huge page of the systems that offer them (x86-64, arm64 with 4 KiB
// pages); a larger one elsewhere just leaves the advice partly unused.
constexpr std::size_t kHugePageBytes = 2'097'152;

}  // namespace

std::size_t transfer_alignment(std::uint64_t block_size) {
  const bool power_of_two = block_size != 0 && (block_size & (block_size - 1)) == 0;
  if (!power_of_two || block_size > kLargestAlignedBlock) return kPageBytes;
  return std::max(kPageBytes, static_cast<std::size_t>(block_size));
}

Result<AlignedBuffer> allocate_transfer_buffer(std::uint64_t block_size,
                                               std::size_t size) {
  // A buffer of whole huge pages takes one fault per 2 MiB on first touch
  // instead of one per 4 KiB page. Only its whole huge pages are advised,
  // so the block of carry room behind a ring buffer's read stays small.
  const bool huge = size >= kHugePageBytes;
  const std::size_t alignment =
      huge ? std::max(transfer_alignment(block_size), kHugePageBytes)
           : transfer_alignment(block_size);
  AlignedBuffer buffer(alignment, std::max<std::size_t>(size, 1));
  if (buffer.empty()) {
    return fail(codes::kUnknown, "Could not allocate the transfer buffers.");
  }
#ifdef MADV_HUGEPAGE
  // Advice only: where huge pages are off, pages stay 4 KiB.
  if (huge)
    (void)::madvise(buffer.data(), size / kHugePageBytes * kHugePageBytes, MADV_HUGEPAGE);
#endif
  return buffer;
}

TransferBufferPool::Loan::Loan(Loan&& other) noexcept
    : pool_(std::exchange(other.pool_, nullptr)), buffers_(std::move(other.buffers_)) {}

TransferBufferPool::Loan& TransferBufferPool::Loan::operator=(Loan&& other) noexcept {
  if (this != &other) {
    if (pool_ != nullptr) pool_->keep(buffers_);
    pool_ = std::exchange(other.pool_, nullptr);
    buffers_ = std::move(other.buffers_);
  }
  return *this;
}

TransferBufferPool::Loan::~Loan() {
  if (pool_ != nullptr) pool_->keep(buffers_);
}

Result<TransferBufferPool::Loan> TransferBufferPool::take(std::size_t count,
                                                          std::uint64_t block_size,
                                                          std::size_t size) {
  Loan loan(*this);
  loan.buffers_.reserve(count);
  const std::size_t alignment = transfer_alignment(block_size);
  for (AlignedBuffer& kept : kept_) {
    if (loan.buffers_.size() == count) break;
    if (!kept.empty() && kept.size() >= size && is_aligned(kept.data(), alignment)) {
      loan.buffers_.push_back(std::move(kept));
    }
  }
  if (loan.buffers_.size() < count) {
    // Kept buffers too small for this use would be displaced by the fresh
    // ones anyway; freeing them first keeps the peak down.
    kept_ = {};
  }
  while (loan.buffers_.size() < count) {
    RAVIK_ASSIGN_OR_RETURN(
        AlignedBuffer fresh,
        allocate_transfer_buffer(block_size, std::max(size, least_bytes_)));
    loan.buffers_.push_back(std::move(fresh));
  }
  return loan;
}

void TransferBufferPool::keep(std::vector<AlignedBuffer>& buffers) {
  for (AlignedBuffer& buffer : buffers) {
    const auto place =
        std::find_if(kept_.begin(), kept_.end(),
                     [](const AlignedBuffer& kept) { return kept.empty(); });
    if (place == kept_.end()) break;  // the rest is freed with the loan
    *place = std::move(buffer);
  }
}

}  // namespace ravik
