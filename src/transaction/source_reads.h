// Reading the image from its byte source for the image write: interrupted
// reads are retried, the application's abort becomes a cancellation, and
// every other failure means the source could not be read. Not thread-safe;
// only the cancel flag is shared (read with acquire ordering).
#ifndef RAVIK_TRANSACTION_SOURCE_READS_H_
#define RAVIK_TRANSACTION_SOURCE_READS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "error/helper_error.h"
#include "io/byte_source.h"
#include "io/sha256.h"

namespace ravik {

// One read of up to buffer.size() bytes; 0 means the stream ended. Fails with
// CANCELED when the flag is set before (or between retries of) the read, with
// CANCELED "The source stream was canceled: ..." (cause kSourceAborted) for
// the application's abort, and IMAGE_MISSING "Could not read the source stream: ..."
// otherwise. With `abandoned` (set by a consumer that no longer wants the bytes), a
// wake-up of the source finds it set and ends the read with CANCELED instead of retrying.
Result<std::size_t> read_source_with_retry(ByteSource& source,
                                           std::span<std::uint8_t> buffer,
                                           const std::atomic<bool>& cancel_flag,
                                           const std::atomic<bool>* abandoned = nullptr);

// Fills `buffer` completely, feeding every byte to `hasher` and adding every
// count to `counter` as it arrives. A stream that ends first fails with
// IMAGE_MISSING "The source stream ended inside the protected prefix.".
Result<void> read_exact_counted(ByteSource& source, std::span<std::uint8_t> buffer,
                                std::uint64_t& counter, Sha256& hasher,
                                const std::atomic<bool>& cancel_flag);

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_SOURCE_READS_H_
