#include "transaction/transfer_buffer.h"

#include <algorithm>

namespace ravik {
namespace {

constexpr std::size_t kPageBytes = 4096;
constexpr std::uint64_t kLargestAlignedBlock = 1'048'576;

}  // namespace

std::size_t transfer_alignment(std::uint64_t block_size) {
  const bool power_of_two = block_size != 0 && (block_size & (block_size - 1)) == 0;
  if (!power_of_two || block_size > kLargestAlignedBlock) return kPageBytes;
  return std::max(kPageBytes, static_cast<std::size_t>(block_size));
}

Result<AlignedBuffer> allocate_transfer_buffer(std::uint64_t block_size,
                                               std::size_t size) {
  AlignedBuffer buffer(transfer_alignment(block_size), std::max<std::size_t>(size, 1));
  if (buffer.empty()) {
    return fail(codes::kUnknown, "Could not allocate the transfer buffers.");
  }
  return buffer;
}

}  // namespace ravik
