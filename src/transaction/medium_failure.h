// The failure of a stick's medium, told as such: an input/output error met
// while writing or reading the held target names the offset at which the
// stick failed and says that it is probably damaged, instead of only the
// system's error number. Pure functions; thread-safe.
#ifndef RAVIK_TRANSACTION_MEDIUM_FAILURE_H_
#define RAVIK_TRANSACTION_MEDIUM_FAILURE_H_

#include <cstdint>
#include <string_view>

#include "error/helper_error.h"
#include "io/io_error.h"

namespace ravik {

// True for the error a failing medium reports (EIO); a vanished device, a
// refused request or a full file are other failures.
bool is_medium_failure(const IoError& error);

// `code` "The stick failed to {failed_to} at {offset, e.g. 1.2 GiB} ({system
// text}): it is probably damaged."; `failed_to` is "store data" or "read data".
HelperError medium_failure_at(ErrorCode code, std::string_view failed_to,
                              std::uint64_t offset, const IoError& error);

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_MEDIUM_FAILURE_H_
