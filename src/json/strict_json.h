// Strict JSON parsing for every line and frame the helper reads: exactly one
// JSON value, no byte order mark, no comments, no repeated member in any
// object, and no number that is not a plain integer (a fraction, an exponent
// or an integer beyond 64 bits). Decoding of records from the parsed value is
// in json_object_reader.h. Pure functions; thread-safe.
#ifndef RAVIK_JSON_STRICT_JSON_H_
#define RAVIK_JSON_STRICT_JSON_H_

#include <cstddef>
#include <expected>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>

namespace ravik {

// Why a text could not be decoded, in the decoder's own words: what is wrong
// and, where the parser knows it, "at line L, column C" (columns count bytes
// from 1, as the parser reads them). Schema faults found after parsing name
// the member path instead, since a parsed value keeps no positions.
struct DecodeError {
  std::string description;
};

// std::expected marked [[nodiscard]] like Result: a decode whose failure is
// ignored is a warning (an error under -Werror).
template <class T>
class [[nodiscard]] DecodeResult : public std::expected<T, DecodeError> {
 public:
  using std::expected<T, DecodeError>::expected;
  DecodeResult(std::expected<T, DecodeError> other)  // NOLINT: implicit on purpose
      : std::expected<T, DecodeError>(std::move(other)) {}
};

// Descriptions are cut (at a character boundary) to this many bytes, so that
// an echo of a hostile 2 MiB token cannot bloat an error message.
inline constexpr std::size_t kMaxDecodeDescriptionBytes = 1024;

// Nesting deeper than this is refused while parsing; no record the helper
// reads is nested more than a few levels.
inline constexpr std::size_t kMaxJsonDepth = 64;

std::unexpected<DecodeError> decode_failure(std::string description);

// Parses `text` as exactly one JSON value (white space around it allowed).
DecodeResult<nlohmann::json> parse_strict_json(std::string_view text);

}  // namespace ravik

#endif  // RAVIK_JSON_STRICT_JSON_H_
