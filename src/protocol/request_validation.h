// The protocol-level checks of identifiers, labels and file names that run
// before any device work. Each stops at the first rule that fails and returns
// PROTOCOL_ERROR with a fixed message (the open-request checks are the
// validate() members in client_message.h). Pure functions; thread-safe.
#ifndef RAVIK_PROTOCOL_REQUEST_VALIDATION_H_
#define RAVIK_PROTOCOL_REQUEST_VALIDATION_H_

#include <cstdint>
#include <string_view>

#include "error/helper_error.h"
#include "protocol/client_message.h"

namespace ravik {

// The largest integer a peer using double-precision numbers reads exactly.
inline constexpr std::uint64_t kMaxSafeInteger = 9'007'199'254'740'991;
inline constexpr std::uint64_t kMaxProtectedPrefixBytes = 16'777'216;

// requestId, sessionId and taskId, then the target.
Result<void> validate_open_target(std::string_view request_id,
                                  std::string_view session_id, std::string_view task_id,
                                  const TargetExpectation& target);

Result<void> validate_operation_id(std::string_view operation_id);

// The volumeLabel of a FAT32 recovery.
Result<void> validate_volume_label(std::string_view label);

// The relativePath of a boot file: a flat ASCII name in the root directory.
Result<void> validate_boot_file_name(std::string_view name);

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_REQUEST_VALIDATION_H_
