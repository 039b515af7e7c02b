// Byte counts as people read them, for messages and status lines. Pure
// functions; thread-safe.
#ifndef RAVIK_ERROR_BYTE_SIZE_H_
#define RAVIK_ERROR_BYTE_SIZE_H_

#include <cstdint>
#include <string>

namespace ravik {

// "1.5 GiB", "512.0 KiB", "17 B": binary units, one decimal.
std::string format_bytes(std::uint64_t bytes);

}  // namespace ravik

#endif  // RAVIK_ERROR_BYTE_SIZE_H_
