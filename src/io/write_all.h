// write_all: the one way the helper and the client write a whole buffer to a
// descriptor (status lines, event lines, progress, frames to a child).
// Thread-safe; concurrent writers to one descriptor may interleave.
#ifndef RAVIK_IO_WRITE_ALL_H_
#define RAVIK_IO_WRITE_ALL_H_

#include <cstdint>
#include <span>
#include <string_view>

#include "io/io_error.h"

namespace ravik {

// Writes all of `bytes` to `fd`, repeating writes interrupted by a signal and
// continuing after short ones. A write that accepts nothing fails (kind kOther,
// "failed to write whole buffer"); any other failure carries its errno.
IoResult<void> write_all(int fd, std::span<const std::uint8_t> bytes);
IoResult<void> write_all(int fd, std::string_view text);

}  // namespace ravik

#endif  // RAVIK_IO_WRITE_ALL_H_
