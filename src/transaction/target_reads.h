// Reading and hashing the held target. Every target read of the transaction
// goes through read_target_range, which widens reads to whole blocks on
// devices that accept only aligned I/O. Memory stays bounded: hashing streams
// through three 4 MiB buffers (the next step is read on a thread of its own
// while the last one is hashed), and a widened read uses one extra block.
// Not thread-safe: one caller at a time, which must not use the device
// during a hashing pass; only the cancel flag is shared (read with acquire
// ordering).
#ifndef RAVIK_TRANSACTION_TARGET_READS_H_
#define RAVIK_TRANSACTION_TARGET_READS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "error/helper_error.h"
#include "io/sha256.h"
#include "platform/held_device_io.h"
#include "transaction/transfer_buffer.h"

namespace ravik {

// Bytes read (and hashed) per step of a hashing pass.
inline constexpr std::size_t kHashStepBytes = 4'194'304;

// Fills `buffer` with target bytes offset .. offset + buffer.size() - 1.
// Range and geometry violations and device read errors are
// DEVICE_DISCONNECTED; an input/output error names the offset at which the
// stick failed (see medium_failure.h). The device position afterwards is unspecified.
Result<void> read_target_range(HeldDeviceIo& device, std::uint64_t offset,
                               std::span<std::uint8_t> buffer);

// Called after each step of a hashing pass with the bytes hashed so far.
using HashStepObserver = std::function<Result<void>(std::uint64_t bytes_hashed)>;

// Lower-case hex SHA-256 of target bytes offset .. offset + length - 1, read
// in 4 MiB steps with the flag tested before each step is read and again
// before it is hashed. `observer`, when set,
// runs after every step and its failure ends the pass. No identity check.
// Overflow and capacity violations are VERIFY_MISMATCH.
// The steps are read into buffers taken from `buffers`.
Result<std::string> hash_target_range(TransferBufferPool& buffers, HeldDeviceIo& device,
                                      std::uint64_t offset, std::uint64_t length,
                                      const std::atomic<bool>& cancel_flag,
                                      const HashStepObserver& observer = {});

// hash_target_range feeding `hasher`, which may already hold bytes that
// precede the range; the caller finishes it.
Result<void> hash_target_range_into(Sha256& hasher, TransferBufferPool& buffers,
                                    HeldDeviceIo& device, std::uint64_t offset,
                                    std::uint64_t length,
                                    const std::atomic<bool>& cancel_flag,
                                    const HashStepObserver& observer = {});

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_TARGET_READS_H_
