#include "transaction/source_reads.h"

#include <algorithm>
#include <utility>

#include "transaction/cancellation.h"

namespace ravik {
Result<std::size_t> read_source_with_retry(ByteSource& source,
                                           std::span<std::uint8_t> buffer,
                                           const std::atomic<bool>& cancel_flag,
                                           const std::atomic<bool>* abandoned) {
  while (true) {
    RAVIK_RETURN_IF_ERROR(check_cancel_flag(cancel_flag));
    auto count = source.read(buffer);
    if (count) return std::min(*count, buffer.size());
    const IoError& error = count.error();
    switch (error.kind) {
      case IoErrorKind::kInterrupted:
        if (abandoned != nullptr && abandoned->load(std::memory_order_acquire)) {
          return fail(codes::kCanceled, "The source read was abandoned.");
        }
        continue;
      case IoErrorKind::kConnectionAborted:
        return fail(HelperError::io_text(codes::kCanceled,
                                         "The source stream was canceled",
                                         error.describe())
                        .with_cause(ErrorCause::kSourceAborted));
      default:
        return std::unexpected(HelperError::io_text(
            codes::kImageMissing, "Could not read the source stream", error.describe()));
    }
  }
}

Result<void> read_exact_counted(ByteSource& source, std::span<std::uint8_t> buffer,
                                std::uint64_t& counter, Sha256& hasher,
                                const std::atomic<bool>& cancel_flag) {
  while (!buffer.empty()) {
    RAVIK_RETURN_IF_ERROR(check_cancel_flag(cancel_flag));
    RAVIK_ASSIGN_OR_RETURN(const std::size_t count,
                           read_source_with_retry(source, buffer, cancel_flag));
    if (count == 0) {
      return fail(codes::kImageMissing,
                  "The source stream ended inside the protected prefix.");
    }
    hasher.update(buffer.first(count));
    counter += count;
    buffer = buffer.subspan(count);
  }
  return {};
}

}  // namespace ravik
