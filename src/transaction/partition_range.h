// PartitionRange: partition 1 of the held target as a byte range, recorded by
// the transaction while the boot session is open. Plain value.
#ifndef RAVIK_TRANSACTION_PARTITION_RANGE_H_
#define RAVIK_TRANSACTION_PARTITION_RANGE_H_

#include <cstdint>

namespace ravik {

struct PartitionRange {
  std::uint64_t offset = 0;  // bytes from the start of the target
  std::uint64_t length = 0;  // bytes

  friend bool operator==(const PartitionRange&, const PartitionRange&) = default;
};

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_PARTITION_RANGE_H_
