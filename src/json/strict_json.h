// Strict JSON parsing for every line, frame and file the helper reads: exactly
// one JSON value, no byte order mark, no NUL byte anywhere, no comments, no
// repeated member in any object, no number that is not a plain integer (a
// fraction, an exponent or an integer beyond 64 bits), no nesting deeper than
// kMaxJsonDepth and no more than kMaxJsonValues values. A text costs time in
// proportion to its length whatever its shape. Decoding of records from the
// parsed value is in json_object_reader.h. Pure functions; thread-safe.
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

// More values than this (containers, members and elements all count) are
// refused while parsing: no record the helper reads holds more than a few
// dozen, and each value costs memory several times its text, so a 2 MiB
// frame of empty objects would otherwise take some 90 MiB to refuse.
inline constexpr std::size_t kMaxJsonValues = 4096;

std::unexpected<DecodeError> decode_failure(std::string description);

// Parses `text` as exactly one JSON value (white space around it allowed).
// Every decoder of untrusted text starts here, so that all of them refuse the
// same things the same way.
DecodeResult<nlohmann::json> parse_strict_json(std::string_view text);

}  // namespace ravik

#endif  // RAVIK_JSON_STRICT_JSON_H_
