// One compact JSON object per line: the output format of the maintenance
// modes. Encoding (which fails only for text that is not UTF-8) is kept apart
// from writing, because the two failures are reported differently.
// Thread-safe; concurrent writers to one descriptor would interleave lines.
#ifndef RAVIK_MAINTENANCE_JSON_LINE_H_
#define RAVIK_MAINTENANCE_JSON_LINE_H_

#include <expected>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "error/helper_error.h"

namespace ravik {

// The object without spaces, its members in insertion order, or the
// encoder's error text.
std::expected<std::string, std::string> encode_compact(
    const nlohmann::ordered_json& object);

// Writes `encoded` and a line feed to `fd` in full, retrying short and
// interrupted writes. The descriptor is unbuffered, so nothing is left to
// flush. Fails with "MAINTENANCE_UNAVAILABLE", "{context}: {error}".
Result<void> write_line(int fd, std::string_view encoded, std::string_view context);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_JSON_LINE_H_
