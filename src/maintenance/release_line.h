// read_release_line: the bounded line reader of every maintenance line
// channel (the hold mode's standard input, the installer's readiness pipe,
// the guardian's socket). It asks its source for one byte at a time, so on an
// unbuffered pipe or socket nothing after the line feed is consumed, and a
// hostile peer cannot make it buffer more than 16 KiB. Not thread-safe (one
// reader per source).
#ifndef RAVIK_MAINTENANCE_RELEASE_LINE_H_
#define RAVIK_MAINTENANCE_RELEASE_LINE_H_

#include <cstddef>
#include <string>

#include "error/helper_error.h"
#include "io/byte_source.h"

namespace ravik {

inline constexpr std::size_t kMaxReleaseLineBytes = 16384;

// One line without its line feed: at most 16384 bytes, no carriage return,
// not empty, ended by a line feed or by the end of the input. The bytes are
// returned raw (UTF-8 is the JSON decoder's concern). Fails with
// "MAINTENANCE_PROTOCOL" for an empty line or an input that ends first, a
// carriage return, an overlong line, or a read failure.
Result<std::string> read_release_line(ByteSource& source);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_RELEASE_LINE_H_
